#include "common/ui/UtilBox.h"

#include <gtest/gtest.h>

#include <QApplication>

#include <stdexcept>

#include "common/base/JclWin32Error.h"
#include "common/base/KmException.h"
#include "common/base/RuntimeErrors.h"
#include "common/base/SysError.h"
#include "common/ui/KmForm.h"
#include "common/ui/KmTimer.h"
#include "support/ui/UiTestSupport.h"

namespace {

using namespace std::chrono_literals;

// The system's text follows the user's language.
const std::string kWin32Box =
    "Update-Fehler\n\nFehlermeldung:\n[Win32 error: " + km::SysErrorMessage(ENOENT) +
    " (2); ShellExecute Error]";

struct BoxCase {
    const char* name;
    std::function<void()> show;
    std::string text;
};

TEST(ErrorBoxes, TextsCaptionIconAndButton) {
    const BoxCase cases[] = {
        {"system error through ShowExceptionDialog",
         [] {
             km::ShowExceptionDialog(km::EJclWin32Error(ENOENT, "ShellExecute Error"),
                                     "Update-Fehler", true);
         },
         kWin32Box},
        {"the same text through ShowErrorDialog",
         [] {
             km::ShowErrorDialog(
                 "", "Update-Fehler",
                 "Win32 error: " + km::SysErrorMessage(ENOENT) + " (2)\r\nShellExecute Error",
                 true);
         },
         kWin32Box},
        {"math error", [] { km::ShowExceptionDialog(std::overflow_error("x"), "", false); },
         "Die Eingabe ist nicht korrekt. Bitte prüfen Sie, dass Sie eine gültige Zahl eingegeben "
         "haben."},
        {"conversion error from std::stoi",
         [] {
             try {
                 (void)std::stoi("zwölf");
             } catch (const std::exception& e) {
                 km::ShowExceptionDialog(e, "Import", false);
             }
         },
         "Import\n\nDiese Eingabe ist für das aktuelle Feld nicht erlaubt."},
        {"message error shows its own text with the context",
         [] { km::ShowExceptionDialog(km::EMessageError("Bitte prüfen"), "Speichern", false); },
         "Speichern\n\nBitte prüfen"},
        {"our exception without display message goes through GetMsgFmt",
         [] {
             km::ShowExceptionDialog(km::EKmException(0, "disk full", "Kopieren", 0), "", false);
         },
         "Kopieren\n\nFehlermeldung:\n[disk full]"},
        {"any other exception: its message as details",
         [] { km::ShowExceptionDialog(std::runtime_error("boom"), "Kontext", false); },
         "Kontext\n\nFehlermeldung:\n[boom]"},
    };
    for (const auto& c : cases) {
        kmtest::TBoxAnswerer answerer;
        c.show();
        ASSERT_EQ(answerer.Boxes().size(), 1u) << c.name;
        const auto& box = answerer.Boxes()[0];
        EXPECT_EQ(box.text, c.text) << c.name;
        EXPECT_EQ(box.caption, "Fehler") << c.name;
        EXPECT_EQ(box.icon, QMessageBox::Critical) << c.name;
        EXPECT_EQ(box.buttons, QMessageBox::StandardButtons(QMessageBox::Ok)) << c.name;
    }
}

TEST(ErrorBoxes, SpecialExceptionOnlyForUserTexts) {
    kmtest::TBoxAnswerer answerer;
    EXPECT_FALSE(km::ShowSpecialException(std::runtime_error("boom")));
    EXPECT_FALSE(km::ShowSpecialException(km::EKmException(0, "disk full", "Kopieren", 0)));
    EXPECT_TRUE(answerer.Boxes().empty());
    EXPECT_TRUE(km::ShowSpecialException(km::EConvertError("x")));
    EXPECT_EQ(answerer.Boxes().size(), 1u);
}

// A window that records what reaches it.
class TRecordingForm : public km::TKmForm {
  public:
    int closes = 0;

  protected:
    void FormClose(km::TCloseAction&) override { ++closes; }
};

TEST(ErrorBoxes, QueuedCloseRequestsAndReleasesAreCarriedOutFirst) {
    auto closing = km::TKmForm::MakeForm<TRecordingForm>();
    closing->show();
    QPointer<TRecordingForm> released = &km::TKmForm::CreateForm<TRecordingForm>();
    closing->PostMessage(km::WM_CLOSE);
    released->Release();

    bool closedBeforeBox = false;
    bool releasedBeforeBox = false;
    kmtest::TBoxAnswerer answerer([&](size_t) {
        closedBeforeBox = closing->closes == 1 && !closing->isVisible();
        releasedBeforeBox = released.isNull();
    });
    km::ShowErrorDialog("x");
    EXPECT_TRUE(closedBeforeBox);
    EXPECT_TRUE(releasedBeforeBox);
    // The queued close is not delivered a second time.
    QApplication::processEvents();
    EXPECT_EQ(closing->closes, 1);
}

TEST(ErrorBoxes, TimersAndExceptionsHeldBackWhileBoxesAreOpen) {
    int ticks = 0;
    km::TKmTimer timer;
    timer.SetInterval(2);
    timer.SetOnTimer([&] { ++ticks; });
    ASSERT_TRUE(kmtest::ProcessEventsUntil([&] { return ticks > 0; }));

    // The outer box opens an inner one from a posted call, and a posted call
    // that throws; the inner box is held open a while, then both close.
    std::vector<int> ticksSeen;
    kmtest::TBoxAnswerer* answererPtr = nullptr;
    kmtest::TBoxAnswerer answerer(
        [&](size_t index) {
            ticksSeen.push_back(ticks);
            if (index == 0) {
                QMetaObject::invokeMethod(
                    qApp, [] { throw std::runtime_error("dropped"); }, Qt::QueuedConnection);
                QMetaObject::invokeMethod(
                    qApp, [] { km::ShowErrorDialog("inner"); }, Qt::QueuedConnection);
            }
        },
        50ms);
    answererPtr = &answerer;
    km::ShowErrorDialog("outer");
    ticksSeen.push_back(ticks);

    ASSERT_EQ(answererPtr->Boxes().size(), 2u);
    EXPECT_EQ(answererPtr->Boxes()[1].text, "inner");
    EXPECT_EQ(ticksSeen, std::vector<int>(3, ticksSeen[0]));
    const int afterBox = ticks;
    EXPECT_TRUE(kmtest::ProcessEventsUntil([&] { return ticks > afterBox; }));
}

TEST(PendingMessages, TakenMessageIsNotDeliveredAgain) {
    struct TCountingForm : km::TKmForm {
        std::vector<uint32_t> seen;
        bool MessageHandler(km::TMessage& msg) override {
            seen.push_back(msg.Msg);
            msg.Result = 42;
            return true;
        }
    };
    auto form = km::TKmForm::MakeForm<TCountingForm>();
    form->PostMessage(0x0401);
    form->PostMessage(0x0500, 7);
    form->PostMessage(0x0502);

    km::TMessage msg;
    ASSERT_TRUE(km::ProcessPendingMessage(0x0500, 0x0600, msg));
    EXPECT_EQ(msg.Msg, 0x0500u);
    EXPECT_EQ(msg.WParam, 7);
    EXPECT_EQ(msg.Result, 42);
    EXPECT_FALSE(km::ProcessPendingMessage(0x0300, 0x0400, msg));
    QApplication::processEvents();
    EXPECT_EQ(form->seen, (std::vector<uint32_t>{0x0500, 0x0401, 0x0502}));
}

}  // namespace
