#pragma once

// The update wizard, the program's only window. Start-up has started the
// update worker before the window exists; the window shows that work is
// going on, waits for the worker to end, reports the outcome or starts the
// follow-up program of an installed install package, and closes. Closing it
// early asks the worker to stop and waits for it.
//
// Create it with TKmForm::CreateForm<TMainForm>(reader) after ThreadManager
// holds the manager with the worker qb::kUpdaterThreadId, set
// EstimatedTime, and run the event loop. Main thread only.

#include <QString>

#include <functional>
#include <memory>
#include <string>

#include "common/thread/ThreadManager.h"
#include "common/ui/KmForm.h"
#include "quorbel/Product.h"

class QLabel;
class QProgressBar;
class TWizard;
class TWizardPage;

namespace km {
class TKmTimer;
}

// The program's thread manager. Start-up fills it; the window frees the
// manager (which waits for and frees its workers) and clears it when it
// closes.
extern std::unique_ptr<km::TThreadManager> ThreadManager;

// Posted by the window to itself once it is being shown: enters the install
// page from the event loop, when the window is visible.
inline constexpr uint32_t UM_ENTERINSTALLPAGE = 0x0A01;

// The program an install package asks to run after its installation, with
// its parameters.
struct TFollowUpProgram {
    std::string Path;
    std::string Params;
};
// Reads the follow-up program from the ended worker. Start-up passes
// ReadUpdaterFollowUp (UpdaterFollowUp.h); tests pass one for their own
// workers, so the window does not depend on the update engine.
using TFollowUpReader = std::function<TFollowUpProgram(km::TManagedThread& worker)>;
// Reads the text that goes with a failed run, in the user's language, from
// the ended worker. Without one the window shows the worker's
// CustomReturnValue.
using TResultTextReader = std::function<std::string(km::TManagedThread& worker)>;

class TMainForm : public km::TKmForm {
    Q_OBJECT

  public:
    explicit TMainForm(TFollowUpReader readFollowUp, TResultTextReader readText = {});

    // The expected duration of the update run in seconds; drives the
    // progress animation. Set it before the window is shown.
    void SetEstimatedTime(int seconds) { FEstimatedTimeInSeconds = seconds; }

  protected:
    void FormCreate() override;
    void FormShow() override;
    void FormClose(km::TCloseAction& action) override;
    bool MessageHandler(km::TMessage& msg) override;

  private:
    void UMEnterInstallPage();
    void PageInstallPage();
    void TimerCheckDoneTimer();
    void ShowUpdateResult();
    void RunFollowUpProgram(const std::string& path, const std::string& params);
    void PageInstallCancelButtonClick(QObject* sender, bool& stop);
    void WizardCancelButtonClick(QObject* sender);

    // The widgets are owned by the window (Qt parents).
    TWizard* Wizard;
    TWizardPage* PageInstall;
    QLabel* LabelInstall;
    QProgressBar* ProgressBarInstall;
    km::TKmTimer* TimerCheckDone;
    int FEstimatedTimeInSeconds = 0;
    TFollowUpReader fReadFollowUp;
    TResultTextReader fReadText;
};
