#include "MainForm.h"

#include <QCoreApplication>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>

#include <algorithm>
#include <chrono>
#include <thread>

#include "TimedProgress.h"
#include "Wizard.h"
#include "common/base/JclWin32Error.h"
#include "common/base/Translate.h"
#include "common/files/ExecuteFile.h"
#include "common/ui/KmTimer.h"
#include "common/ui/UtilBox.h"

std::unique_ptr<km::TThreadManager> ThreadManager;

namespace {

using namespace std::chrono_literals;

constexpr int kClientWidth = 598;
constexpr int kClientHeight = 455;

// The window font: Tahoma 8 pt (11 px) where it is installed, otherwise a
// sans-serif face of about the same size.
QFont WindowFont() {
    QFont font;
    font.setFamilies({"Tahoma", "DejaVu Sans"});
    font.setStyleHint(QFont::SansSerif);
    font.setPixelSize(11);
    return font;
}

}  // namespace

TMainForm::TMainForm(TFollowUpReader readFollowUp, TResultTextReader readText)
    : fReadFollowUp(std::move(readFollowUp)), fReadText(std::move(readText)) {
    setObjectName("MainForm");
    setWindowTitle(km::TrNoop("Programmaktualisierung"));
    // A fixed dialog border: a title bar with the close button only.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                   Qt::MSWindowsFixedSizeDialogHint);
    setFixedSize(kClientWidth, kClientHeight);
    setFont(WindowFont());
    QPalette buttonFace = palette();
    buttonFace.setColor(QPalette::Window, buttonFace.color(QPalette::Button));
    setPalette(buttonFace);
    setAutoFillBackground(true);

    Wizard = new TWizard(*this);
    Wizard->setObjectName("Wizard");
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(Wizard);

    PageInstall = new TWizardPage(*Wizard);
    PageInstall->setObjectName("PageInstall");
    PageInstall->SetTitle(km::TrNoop("Dateien aktualisieren"));
    PageInstall->SetSubtitle(km::TrNoop(
        "Aktualisierungsdateien werden geladen. Dieser Vorgang kann einige Minuten dauern."));
    PageInstall->SetButtonEnabled(TWizardButton::Next, false);

    LabelInstall =
        new QLabel(km::TrNoop("Prüfung und Aktualisierung läuft  -  bitte warten"), PageInstall);
    LabelInstall->setObjectName("LabelInstall");
    LabelInstall->setGeometry(48, 117, 229, 13);

    ProgressBarInstall = new QProgressBar(PageInstall);
    ProgressBarInstall->setObjectName("ProgressBarInstall");
    ProgressBarInstall->setGeometry(48, 136, 481, 17);
    ProgressBarInstall->setTextVisible(false);
    ProgressBarInstall->setValue(0);

    TimerCheckDone = new km::TKmTimer(this);
    TimerCheckDone->setObjectName("TimerCheckDone");
    TimerCheckDone->SetEnabled(false);
    TimerCheckDone->SetInterval(100);
    TimerCheckDone->SetOnTimer([this] { TimerCheckDoneTimer(); });

    PageInstall->OnPage = [this](TWizardPage&) { PageInstallPage(); };
    PageInstall->OnCancelButtonClick = [this](QObject* sender, bool& stop) {
        PageInstallCancelButtonClick(sender, stop);
    };
    Wizard->OnCancelButtonClick = [this](QObject* sender) { WizardCancelButtonClick(sender); };
    // Shown with the window; entering it (and so its event) waits for
    // UM_ENTERINSTALLPAGE.
    Wizard->SetActivePage(*PageInstall);

    if (const QScreen* s = screen()) {
        move(s->availableGeometry().center() - rect().center());
    }
}

void TMainForm::FormCreate() {
    // The designed width fits the designed font only; like an auto-sized
    // label it grows with its translated text.
    LabelInstall->resize(std::max(LabelInstall->width(), LabelInstall->sizeHint().width()),
                         LabelInstall->height());
}

void TMainForm::FormShow() {
    // Not yet visible here: the page could not take the focus and would not
    // fire its event.
    PostMessage(UM_ENTERINSTALLPAGE, 0, 0);
}

bool TMainForm::MessageHandler(km::TMessage& msg) {
    if (msg.Msg == UM_ENTERINSTALLPAGE) {
        UMEnterInstallPage();
        return true;
    }
    return TKmForm::MessageHandler(msg);
}

void TMainForm::UMEnterInstallPage() {
    Wizard->SetActivePage(*PageInstall);
}

void TMainForm::PageInstallPage() {
    StartTimedProgress(*ProgressBarInstall, 100, static_cast<double>(FEstimatedTimeInSeconds));
    TimerCheckDone->SetEnabled(true);
}

void TMainForm::TimerCheckDoneTimer() {
    if (!ThreadManager) {
        // Closed already: the manager is gone and nothing is left to report.
        TimerCheckDone->SetEnabled(false);
        return;
    }
    if (ThreadManager->IsRunning(qb::kUpdaterThreadId)) {
        return;
    }
    TimerCheckDone->SetEnabled(false);
    ProgressBarInstall->setValue(ProgressBarInstall->maximum());
    // Leave the full bar on screen for a moment; this blocks the window on
    // purpose.
    QCoreApplication::processEvents();
    std::this_thread::sleep_for(500ms);
    QCoreApplication::processEvents();
    std::this_thread::sleep_for(200ms);
    if (!ThreadManager) {
        return;  // the user closed the window during the pause
    }
    ShowUpdateResult();
    close();
}

void TMainForm::ShowUpdateResult() {
    const int result = ThreadManager->GetThreadResult(qb::kUpdaterThreadId);
    if (result > 0 && (result & 4) != 0) {
        // The install package was installed: its program finishes the job.
        km::TManagedThread* worker = ThreadManager->GetThread(qb::kUpdaterThreadId);
        const TFollowUpProgram followUp = fReadFollowUp(*worker);
        if (!followUp.Path.empty()) {
            RunFollowUpProgram(followUp.Path, followUp.Params);
        }
    } else if (result == -404) {
        km::ShowMessageBox(km::Tr("Die Internet-Verbindung wurde unterbrochen oder ist zurzeit "
                                  "nicht verfügbar. \r\n\r\nZur Aktualisierung ist aktive eine "
                                  "Internetverbindung notwendig!"),
                           km::Tr("Fehler"), QMessageBox::Critical);
    } else {
        // Translated here, on the main thread, with the catalogue bound.
        const std::string text = fReadText
                                     ? fReadText(*ThreadManager->GetThread(qb::kUpdaterThreadId))
                                     : ThreadManager->GetCustomThreadResult(qb::kUpdaterThreadId);
        km::ShowMessageBox(km::Tr("Der Aktualisierungsvorgang war nicht erfolgreich (") +
                               std::to_string(result) + ")." + "\r\n\r\n" + text,
                           km::Tr("Fehler"), QMessageBox::Critical);
    }
}

void TMainForm::RunFollowUpProgram(const std::string& path, const std::string& params) {
    // A path that names no file raises a plain exception, which is left to
    // the application's default handling: the window then stays open.
    try {
        km::ExecuteFile(path, params, false, true, 1);
    } catch (const km::EJclWin32Error& e) {
        // The user declined to let the program run: nothing to report.
        if (e.LastError() != static_cast<uint32_t>(km::kErrorCancelled)) {
            km::ShowExceptionDialog(e, km::Tr("Update-Fehler"), true);
        }
    }
    km::TApplication::Instance()->Terminate();
}

void TMainForm::PageInstallCancelButtonClick(QObject* /*sender*/, bool& /*stop*/) {
    close();
}

void TMainForm::WizardCancelButtonClick(QObject* /*sender*/) {
    // After the page's own handler: the window is closed already, and this
    // second close only repeats the release.
    close();
}

void TMainForm::FormClose(km::TCloseAction& action) {
    action = km::TCloseAction::caFree;
    if (!ThreadManager) {
        return;
    }
    try {
        ThreadManager->StopAll(false);
        // Gives the worker a moment to reach its next stopping point; the
        // window does not react meanwhile.
        std::this_thread::sleep_for(1000ms);
        // Cleared before the manager goes: freeing it waits for the workers.
        std::unique_ptr<km::TThreadManager> manager = std::move(ThreadManager);
        manager.reset();
    } catch (const std::exception& e) {
        if (!km::ShowSpecialException(e, "", false)) {
            km::ShowErrorDialog(e.what(), "", "", false, 0);
        }
    }
}
