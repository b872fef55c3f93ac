#include "MainForm.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <optional>

#include "StubWorker.h"
#include "Wizard.h"
#include "common/base/SysError.h"
#include "common/ui/KmTimer.h"
#include "support/Sandbox.h"
#include "support/ui/UiTestSupport.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using apptest::TStubEnd;

const std::string kConnectionLost =
    "Die Internet-Verbindung wurde unterbrochen oder ist zurzeit nicht verfügbar. \n\n"
    "Zur Aktualisierung ist aktive eine Internetverbindung notwendig!";

std::string NotSuccessful(const std::string& code, const std::string& text) {
    return "Der Aktualisierungsvorgang war nicht erfolgreich (" + code + ").\n\n" + text;
}

// A program that records its arguments next to itself, one per line.
fs::path WriteRecordingProgram(const fs::path& folder) {
    const fs::path program = folder / "setup.sh";
    kmtest::WriteTextFile(program,
                          "#!/bin/sh\nprintf '%s\\n' \"$@\" > \"$(dirname \"$0\")/ran\"\n");
    fs::permissions(program, fs::perms::owner_all);
    return program;
}

class MainFormTest : public testing::Test {
  protected:
    void TearDown() override {
        fProbe->release = true;
        if (fForm) {
            fForm->close();
            kmtest::ProcessEventsUntil([this] { return fForm.isNull(); });
        }
        ThreadManager.reset();
    }

    void StartWorker(int result, std::string text, TStubEnd end) {
        ThreadManager = std::make_unique<km::TThreadManager>();
        km::CreateManagedThread<apptest::TStubWorker>(ThreadManager.get(), result, std::move(text),
                                                      end, fProbe);
    }

    void OpenWindow(int estimatedTime = 60) {
        TMainForm& form = km::TKmForm::CreateForm<TMainForm>([this](km::TManagedThread&) {
            ++fReaderCalls;
            return fFollowUp;
        });
        form.SetEstimatedTime(estimatedTime);
        fForm = &form;
        form.show();
        form.activateWindow();
    }

    template <class T>
    T& Child(const char* name) {
        auto* child = dynamic_cast<T*>(fForm->findChild<QObject*>(name));
        EXPECT_NE(child, nullptr) << name;
        return *child;
    }
    QProgressBar& Bar() { return Child<QProgressBar>("ProgressBarInstall"); }
    km::TKmTimer& PollTimer() { return Child<km::TKmTimer>("TimerCheckDone"); }

    bool WaitForInstallPage() {
        return kmtest::ProcessEventsUntil([this] { return PollTimer().Enabled(); });
    }
    bool WaitUntilClosed() {
        return kmtest::ProcessEventsUntil([this] { return fForm.isNull(); });
    }

    kmtest::Sandbox fSandbox;
    std::shared_ptr<apptest::TStubProbe> fProbe = std::make_shared<apptest::TStubProbe>();
    TFollowUpProgram fFollowUp;
    int fReaderCalls = 0;
    QPointer<TMainForm> fForm;
};

TEST_F(MainFormTest, ReportsEachResultThenClosesAndFreesTheManager) {
    struct Case {
        int result;
        std::string text;
        std::optional<std::string> box;  // none: no message at all
    };
    const Case cases[] = {
        {-404, "ignored", kConnectionLost},
        {1, "Konfiguration aktualisiert", NotSuccessful("1", "Konfiguration aktualisiert")},
        {2, "", NotSuccessful("2", "")},
        {3, "drei", NotSuccessful("3", "drei")},
        {-1, "Zugriff verweigert", NotSuccessful("-1", "Zugriff verweigert")},
        {-203, "", NotSuccessful("-203", "")},
        {-1001, "nichts", NotSuccessful("-1001", "nichts")},
        {4, "", std::nullopt},  // the follow-up path is empty
        {7, "", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.result);
        fReaderCalls = 0;
        StartWorker(c.result, c.text, TStubEnd::WhenReleased);
        OpenWindow();
        ASSERT_TRUE(WaitForInstallPage());
        int barWhenShown = -1;
        kmtest::TBoxAnswerer answerer([&](size_t) { barWhenShown = Bar().value(); });
        fProbe->release = true;
        ASSERT_TRUE(WaitUntilClosed());
        if (c.box) {
            ASSERT_EQ(answerer.Boxes().size(), 1u);
            EXPECT_EQ(answerer.Boxes()[0].text, *c.box);
            EXPECT_EQ(answerer.Boxes()[0].caption, "Fehler");
            EXPECT_EQ(answerer.Boxes()[0].icon, QMessageBox::Critical);
            EXPECT_EQ(answerer.Boxes()[0].buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
            EXPECT_EQ(barWhenShown, 100);
            EXPECT_EQ(fReaderCalls, 0);
        } else {
            EXPECT_TRUE(answerer.Boxes().empty());
            EXPECT_EQ(fReaderCalls, 1);
        }
        EXPECT_EQ(ThreadManager, nullptr);
        fProbe = std::make_shared<apptest::TStubProbe>();
    }
}

TEST_F(MainFormTest, InstalledInstallPackageStartsItsFollowUpProgramSilently) {
    for (int result : {4, 5, 6, 7}) {
        SCOPED_TRACE(result);
        kmtest::TempDir folder;
        fFollowUp = {WriteRecordingProgram(folder.Path()).string(),
                     "--result " + std::to_string(result) + " \"zwei Worte\""};
        StartWorker(result, "", TStubEnd::AtOnce);
        kmtest::TBoxAnswerer answerer;
        OpenWindow();
        ASSERT_TRUE(WaitUntilClosed());
        ASSERT_TRUE(kmtest::ProcessEventsUntil([&] { return fs::exists(folder.Path() / "ran"); }));
        ASSERT_TRUE(kmtest::ProcessEventsUntil([&] {
            return kmtest::ReadTextFile(folder.Path() / "ran") ==
                   "--result\n" + std::to_string(result) + "\nzwei Worte\n";
        }));
        EXPECT_TRUE(answerer.Boxes().empty());
    }
}

TEST_F(MainFormTest, FollowUpProgramThatCannotStartIsReportedAsUpdateError) {
    kmtest::TempDir folder;
    const fs::path program = folder.Path() / "setup.bin";
    kmtest::WriteTextFile(program, "no program\n");  // executable, but of no known format
    fs::permissions(program, fs::perms::owner_all);
    fFollowUp = {program.string(), ""};
    StartWorker(4, "", TStubEnd::AtOnce);
    kmtest::TBoxAnswerer answerer;
    OpenWindow();
    ASSERT_TRUE(WaitUntilClosed());
    ASSERT_EQ(answerer.Boxes().size(), 1u);
    EXPECT_EQ(answerer.Boxes()[0].text,
              "Update-Fehler\n\nFehlermeldung:\n[Win32 error: " + km::SysErrorMessage(ENOEXEC) +
                  " (" + std::to_string(ENOEXEC) + "); ShellExecute Error]");
    EXPECT_EQ(answerer.Boxes()[0].caption, "Fehler");
}

TEST_F(MainFormTest, MissingFollowUpProgramReachesDefaultHandlingAndWindowStaysOpen) {
    const std::string missing = fSandbox.Root().string() + "/setup.exe";
    fFollowUp = {missing, "/S"};
    StartWorker(5, "", TStubEnd::AtOnce);
    kmtest::TBoxAnswerer answerer;
    OpenWindow();
    ASSERT_TRUE(kmtest::ProcessEventsUntil([&] { return !answerer.Boxes().empty(); }));
    // Let whatever would follow the box happen.
    const auto until = std::chrono::steady_clock::now() + 300ms;
    kmtest::ProcessEventsUntil([&] { return std::chrono::steady_clock::now() > until; });

    EXPECT_EQ(answerer.Boxes()[0].text,
              "ShellExecute Error: Could not find file \"" + missing + "\"");
    EXPECT_EQ(answerer.Boxes()[0].caption, "Online-Updater");
    ASSERT_FALSE(fForm.isNull());
    EXPECT_TRUE(fForm->isVisible());
    EXPECT_EQ(Child<TWizard>("Wizard").ActivePage(), &Child<TWizardPage>("PageInstall"));
    EXPECT_EQ(Bar().value(), 100);
    EXPECT_FALSE(PollTimer().Enabled());
    EXPECT_NE(ThreadManager, nullptr);

    Child<QPushButton>("ButtonCancel").click();
    ASSERT_TRUE(WaitUntilClosed());
    EXPECT_EQ(answerer.Boxes().size(), 1u);
    EXPECT_EQ(ThreadManager, nullptr);
}

TEST_F(MainFormTest, WorkerThatEndedBeforeThePageIsFoundAtTheFirstPoll) {
    StartWorker(-7, "Zielordner fehlt", TStubEnd::AtOnce);
    ASSERT_TRUE(
        kmtest::ProcessEventsUntil([] { return !ThreadManager->IsRunning(qb::kUpdaterThreadId); }));
    int barWhenShown = -1;
    kmtest::TBoxAnswerer answerer([&](size_t) { barWhenShown = Bar().value(); });
    OpenWindow();
    ASSERT_TRUE(WaitUntilClosed());
    ASSERT_EQ(answerer.Boxes().size(), 1u);
    EXPECT_EQ(answerer.Boxes()[0].text, NotSuccessful("-7", "Zielordner fehlt"));
    EXPECT_EQ(barWhenShown, 100);
}

TEST_F(MainFormTest, CancelWhileWaitingStopsTheWorkerAndWaitsForIt) {
    struct Case {
        const char* name;
        std::function<void(TMainForm&)> cancel;
    };
    const Case cases[] = {
        {"Cancel button",
         [](TMainForm& form) { form.findChild<QPushButton*>("ButtonCancel")->click(); }},
        {"Escape key",
         [](TMainForm& form) {
             QWidget* focus = form.focusWidget();
             ASSERT_EQ(focus, form.findChild<QWidget*>("PageInstall"));
             QKeyEvent press(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
             QApplication::sendEvent(focus, &press);
         }},
        {"window's close button", [](TMainForm& form) { form.close(); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fReaderCalls = 0;
        fFollowUp = {"/bin/true", ""};
        StartWorker(4, "", TStubEnd::WhenStopped);
        kmtest::TBoxAnswerer answerer;
        OpenWindow();
        ASSERT_TRUE(WaitForInstallPage());
        c.cancel(*fForm);
        ASSERT_TRUE(WaitUntilClosed());
        EXPECT_TRUE(fProbe->sawStop);
        EXPECT_TRUE(fProbe->finished);  // waited for before the manager went
        EXPECT_EQ(ThreadManager, nullptr);
        EXPECT_TRUE(answerer.Boxes().empty());
        EXPECT_EQ(fReaderCalls, 0);
        fProbe = std::make_shared<apptest::TStubProbe>();
    }
}

TEST_F(MainFormTest, WithoutEstimatedTimeTheBarStaysAtOneUntilTheWorkerEnds) {
    StartWorker(2, "", TStubEnd::WhenReleased);
    OpenWindow(0);
    ASSERT_TRUE(WaitForInstallPage());
    const auto until = std::chrono::steady_clock::now() + 300ms;
    kmtest::ProcessEventsUntil([&] { return std::chrono::steady_clock::now() > until; });
    EXPECT_EQ(Bar().value(), 1);

    int barWhenShown = -1;
    kmtest::TBoxAnswerer answerer([&](size_t) { barWhenShown = Bar().value(); });
    fProbe->release = true;
    ASSERT_TRUE(WaitUntilClosed());
    EXPECT_EQ(barWhenShown, 100);
}

struct LayoutCase {
    const char* language;  // null: no catalogue
    const char* caption;
    const char* title;
    const char* subtitle;
    const char* label;
    const char* next;
    const char* cancel;
};

TEST_F(MainFormTest, LayoutAndTextsOfTheInstallPage) {
    const LayoutCase cases[] = {
        {nullptr, "Programmaktualisierung", "Dateien aktualisieren",
         "Aktualisierungsdateien werden geladen. Dieser Vorgang kann einige Minuten dauern.",
         "Prüfung und Aktualisierung läuft  -  bitte warten", "&Weiter >", "Abbrechen"},
        {"en", "Program update", "Updating files",
         "Loading the update files. This may take a few minutes.",
         "Checking and updating  -  please wait", "&Next >", "Cancel"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.language != nullptr ? c.language : "German");
        kmtest::TLanguageGuard languageGuard;
        kmtest::UseLanguage(c.language != nullptr ? c.language : "");
        StartWorker(1, "", TStubEnd::WhenStopped);
        OpenWindow();
        ASSERT_TRUE(WaitForInstallPage());
        TMainForm& form = *fForm;

        EXPECT_EQ(form.windowTitle(), c.caption);
        EXPECT_EQ(form.size(), QSize(598, 455));
        EXPECT_EQ(form.minimumSize(), form.maximumSize());
        const Qt::WindowFlags flags = form.windowFlags();
        EXPECT_FALSE(flags & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint));
        EXPECT_TRUE(flags & Qt::WindowCloseButtonHint);
        EXPECT_EQ(form.font().pixelSize(), 11);

        auto& page = Child<TWizardPage>("PageInstall");
        EXPECT_EQ(Child<TWizard>("Wizard").geometry(), form.rect());
        EXPECT_EQ(Child<TWizard>("Wizard").ActivePage(), &page);
        EXPECT_EQ(page.TitleLabel().text(), c.title);
        EXPECT_TRUE(page.TitleLabel().font().bold());
        EXPECT_EQ(page.TitleLabel().font().pixelSize(), 16);
        EXPECT_EQ(page.SubtitleLabel().text(), c.subtitle);
        EXPECT_FALSE(page.SubtitleLabel().font().bold());
        EXPECT_EQ(page.SubtitleLabel().font().pixelSize(), 11);
        EXPECT_EQ(page.SubtitleLabel().font().family(), form.font().family());

        auto& label = Child<QLabel>("LabelInstall");
        EXPECT_EQ(label.text(), c.label);
        EXPECT_EQ(label.pos(), QPoint(48, 117));
        EXPECT_EQ(label.height(), 13);
        EXPECT_GE(label.width(), 229);
        EXPECT_GE(label.width(), label.sizeHint().width());
        EXPECT_EQ(Bar().geometry(), QRect(48, 136, 481, 17));
        EXPECT_EQ(Bar().minimum(), 0);
        EXPECT_EQ(Bar().maximum(), 100);
        EXPECT_EQ(PollTimer().Interval(), 100);

        auto& next = Child<QPushButton>("ButtonNext");
        auto& cancel = Child<QPushButton>("ButtonCancel");
        EXPECT_EQ(next.text(), c.next);
        EXPECT_EQ(cancel.text(), c.cancel);
        EXPECT_TRUE(next.isVisible());
        EXPECT_FALSE(next.isEnabled());
        EXPECT_TRUE(cancel.isVisible());
        EXPECT_TRUE(cancel.isEnabled());
        for (QPushButton* button : {&next, &cancel}) {
            EXPECT_EQ(button->size(), QSize(75, 25));
            EXPECT_GE(button->y(), 455 - 42);
            EXPECT_LE(button->geometry().bottom(), 455);
        }
        EXPECT_LT(next.x(), cancel.x());
        // Nothing else that could be clicked.
        EXPECT_EQ(form.findChildren<QPushButton*>().size(), 2);

        form.close();
        ASSERT_TRUE(WaitUntilClosed());
        fProbe = std::make_shared<apptest::TStubProbe>();
    }
}

}  // namespace
