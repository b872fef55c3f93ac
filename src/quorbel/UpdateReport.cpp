#include "quorbel/UpdateReport.h"

#include "quorbel/InstallPaths.h"

namespace qb {

const char* OutcomeName(TOutcome outcome) {
    switch (outcome) {
        case TOutcome::Installed:
            return "installed";
        case TOutcome::Current:
            return "current";
        case TOutcome::Failed:
            return "failed";
        case TOutcome::Stopped:
            return "stopped";
        case TOutcome::NoDescriptor:
            return "no-descriptor";
        case TOutcome::Refused:
            return "refused";
        case TOutcome::Deferred:
            return "deferred";
    }
    return "";
}

const char* PackageSourceName(TPackageSource source) {
    switch (source) {
        case TPackageSource::None:
            return "";
        case TPackageSource::Local:
            return "local";
        case TPackageSource::Server:
            return "server";
        case TPackageSource::Mirror:
            return "mirror";
        case TPackageSource::Cache:
            return "cache";
        case TPackageSource::Media:
            return "media";
    }
    return "";
}

int32_t CombinedResultCode(const TRunReport& report) {
    if (report.RunCode != 0) {
        return report.RunCode;
    }
    int32_t bits = 0;
    int32_t earlier = 0;
    int32_t later = 0;
    for (const TTypeReport& type : report.Types) {
        if (type.Installed) {
            if (const TUpdateType* known = FindUpdateType(type.Type)) {
                bits |= known->InstalledBit;
            }
        }
        earlier = later;
        later = type.Code;
    }
    return bits != 0 ? bits : later * 100 + earlier;
}

bool HasFollowUp(const TRunReport& report) {
    const int32_t code = CombinedResultCode(report);
    return code > 0 && (code & kFollowUpBit) != 0 && !report.FollowUp.ToRun.empty();
}

}  // namespace qb
