// Start-up of the online updater: fixes the settings root, starts the update
// worker and runs the wizard window until it has closed. The program reads
// no command-line arguments.

#include <cstdlib>
#include <exception>
#include <iostream>
#include <memory>

#include "MainForm.h"
#include "UpdaterFollowUp.h"
#include "common/base/Translate.h"
#include "common/registry/KmRegistry.h"
#include "common/thread/ThreadManager.h"
#include "common/ui/Application.h"
#include "quorbel/ConfigUpdaterThread.h"
#include "quorbel/Product.h"

namespace {

// Only the program's name goes to Qt, which would otherwise take options of
// its own from the command line.
int RunProgram(char* programName) {
    km::SetRegistryRoot(qb::kProductRegistryKey);
    ThreadManager = std::make_unique<km::TThreadManager>();
    // Registers itself with the manager, which owns it; it starts its update
    // run at once.
    km::CreateManagedThread<qb::TConfigUpdaterThread>(qb::kUpdaterThreadId, ThreadManager.get(),
                                                      true, true, qb::kInstallerProject);

    int qtArgc = 1;
    char* qtArgv[] = {programName, nullptr};
    km::TApplication application(qtArgc, qtArgv);
    application.SetTitle(km::Tr("Online-Updater"));
    TMainForm& mainForm =
        km::TKmForm::CreateForm<TMainForm>(&ReadUpdaterFollowUp, &ReadUpdaterResultText);
    mainForm.SetEstimatedTime(60);
    mainForm.show();
    application.exec();
    return EXIT_SUCCESS;
}

}  // namespace

int main(int /*argc*/, char** argv) {
    try {
        return RunProgram(argv[0]);
    } catch (...) {
        // Start-up failed before the window existed (the worker could not be
        // made). Report it the way an unhandled error is reported, then end.
        const std::exception_ptr error = std::current_exception();
        int qtArgc = 1;
        char* qtArgv[] = {argv[0], nullptr};
        if (km::TApplication::Instance() == nullptr) {
            km::TApplication application(qtArgc, qtArgv);
            application.SetTitle(km::Tr("Online-Updater"));
            application.ShowException(error);
        }
        return EXIT_FAILURE;
    }
}
