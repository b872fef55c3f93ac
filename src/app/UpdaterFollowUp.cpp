#include "UpdaterFollowUp.h"

#include "common/KmException.h"
#include "quorbel/ConfigUpdaterThread.h"

TFollowUpProgram ReadUpdaterFollowUp(km::TManagedThread& worker) {
    auto* updater = dynamic_cast<qb::TConfigUpdaterThread*>(&worker);
    if (updater == nullptr) {
        throw km::EInternalError("Thread is not a TConfigUpdaterThread: " + worker.ThreadId());
    }
    return {updater->GetToRun(), updater->RunParams()};
}
