#include "common/ui/KmForm.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QFrame>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QToolBar>

#include "common/base/KmDebug.h"
#include "common/base/KmException.h"
#include "support/ui/UiTestSupport.h"

namespace {

constexpr uint32_t UM_ENTERINSTALLPAGE = 0x0A01;

// Built like the wizard window: widgets in the constructor, hooks recorded.
class TWizardLikeForm : public km::TKmForm {
  public:
    explicit TWizardLikeForm(bool autoTranslate = true, double dpi = 96.0) : fDpi(dpi) {
        SetAutoTranslate(autoTranslate);
        setWindowTitle("Programmaktualisierung");
        label = new QLabel("Prüfung und Aktualisierung läuft  -  bitte warten", this);
        next = new QPushButton("&Weiter >", this);
        cancel = new QPushButton("Abbrechen", this);
        cancel->setToolTip("Abbrechen");
        combo = new QComboBox(this);
        combo->addItems({"Fehler", "kein Katalogtext"});
        auto* frame = new QFrame(this);
        toolbar = new QToolBar(frame);
        toolbar->setGeometry(10, 20, 100, 30);
    }

    std::vector<std::string> log;
    QLabel* label;
    QPushButton* next;
    QPushButton* cancel;
    QComboBox* combo;
    QToolBar* toolbar;
    std::string textsAtFormCreate;

  protected:
    void FormCreate() override {
        log.push_back("create");
        textsAtFormCreate = windowTitle().toStdString();
    }
    void FormShow() override {
        log.push_back("show");
        PostMessage(UM_ENTERINSTALLPAGE);
    }
    bool MessageHandler(km::TMessage& msg) override {
        if (msg.Msg == UM_ENTERINSTALLPAGE) {
            log.push_back(isVisible() ? "enter page (visible)" : "enter page (hidden)");
            return true;
        }
        return TKmForm::MessageHandler(msg);
    }
    double ScreenDotsPerInch() const override { return fDpi; }

  private:
    double fDpi;
};

class KmFormTest : public testing::Test {
    kmtest::TLanguageGuard fLanguage;
};

TEST_F(KmFormTest, AfterShowComesAfterTheWindowsOwnMessages) {
    auto form = km::TKmForm::MakeForm<TWizardLikeForm>();
    form->SetAfterShow([](km::TKmForm& f) {
        static_cast<TWizardLikeForm&>(f).log.push_back(f.isVisible() ? "after show (visible)"
                                                                     : "after show (hidden)");
    });
    form->show();
    ASSERT_TRUE(kmtest::ProcessEventsUntil([&] { return form->log.size() == 4; }));
    EXPECT_EQ(form->log, (std::vector<std::string>{"create", "show", "enter page (visible)",
                                                   "after show (visible)"}));
}

TEST_F(KmFormTest, TextsTranslatedAtCreation) {
    kmtest::UseLanguage("en");
    auto english = km::TKmForm::MakeForm<TWizardLikeForm>();
    EXPECT_EQ(english->windowTitle(), "Program update");
    EXPECT_EQ(english->textsAtFormCreate, "Program update");
    EXPECT_EQ(english->label->text(), "Checking and updating  -  please wait");
    EXPECT_EQ(english->next->text(), "&Next >");
    EXPECT_EQ(english->cancel->text(), "Cancel");
    EXPECT_EQ(english->cancel->toolTip(), "Cancel");
    EXPECT_EQ(english->combo->itemText(0), "Error");
    EXPECT_EQ(english->combo->itemText(1), "kein Katalogtext");

    auto untranslated = km::TKmForm::MakeForm<TWizardLikeForm>(false);
    EXPECT_EQ(untranslated->windowTitle(), "Programmaktualisierung");
    EXPECT_EQ(untranslated->next->text(), "&Weiter >");

    kmtest::UseLanguage("xx");  // no catalogue for it
    auto german = km::TKmForm::MakeForm<TWizardLikeForm>();
    EXPECT_EQ(german->windowTitle(), "Programmaktualisierung");
    EXPECT_EQ(german->label->text(), "Prüfung und Aktualisierung läuft  -  bitte warten");
}

TEST_F(KmFormTest, ToolbarsScaledByDotsPerInch) {
    auto scaled = km::TKmForm::MakeForm<TWizardLikeForm>(true, 144.0);
    EXPECT_EQ(scaled->toolbar->geometry(), QRect(15, 30, 150, 45));

    struct TFixedToolbars : TWizardLikeForm {
        TFixedToolbars() : TWizardLikeForm(true, 144.0) { SetNoAutoInitToolbars(true); }
    };
    auto fixed = km::TKmForm::MakeForm<TFixedToolbars>();
    EXPECT_EQ(fixed->toolbar->geometry(), QRect(10, 20, 100, 30));
}

TEST_F(KmFormTest, ExceptionInCreationStepIsReportedAndCreationContinues) {
    struct TFailingScale : TWizardLikeForm {
        double ScreenDotsPerInch() const override { throw std::runtime_error("kein Bildschirm"); }
    };
    std::vector<std::string> reported;
    km::TApplicationEvents listener;
    listener.OnException = [&](std::exception_ptr error) {
        try {
            std::rethrow_exception(error);
        } catch (const std::exception& e) {
            reported.push_back(e.what());
        }
    };
    auto form = km::TKmForm::MakeForm<TFailingScale>();
    EXPECT_EQ(reported, std::vector<std::string>{"kein Bildschirm"});
    EXPECT_EQ(form->log, std::vector<std::string>{"create"});
}

TEST_F(KmFormTest, BlockEnableKeepsWindowDisabled) {
    auto form = km::TKmForm::MakeForm<TWizardLikeForm>();
    form->SetBlockEnable(true);
    form->setEnabled(false);
    form->setEnabled(true);
    ASSERT_TRUE(kmtest::ProcessEventsUntil([&] { return !form->isEnabled(); }));
    form->SetBlockEnable(false);
    form->setEnabled(true);
    QApplication::processEvents();
    EXPECT_TRUE(form->isEnabled());
}

TEST_F(KmFormTest, EnterMovesToNextControlUnlessOnButton) {
    struct TEditForm : km::TKmForm {
        TEditForm() {
            first = new QLineEdit(this);
            second = new QLineEdit(this);
            button = new QPushButton("OK", this);
        }
        QLineEdit* first;
        QLineEdit* second;
        QPushButton* button;
    };
    auto form = km::TKmForm::MakeForm<TEditForm>();
    form->show();
    form->activateWindow();
    form->first->setFocus();
    ASSERT_TRUE(kmtest::ProcessEventsUntil([&] { return form->first->hasFocus(); }));

    auto pressEnter = [](QWidget* target) {
        QKeyEvent press(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier, "\r");
        QApplication::sendEvent(target, &press);
        QApplication::processEvents();
    };
    pressEnter(form->first);
    EXPECT_FALSE(form->second->hasFocus()) << "off by default";
    form->SetNextControlOnEnter(true);
    pressEnter(form->first);
    EXPECT_TRUE(form->second->hasFocus());
}

TEST_F(KmFormTest, BusyStateAndDeferredFocus) {
    struct TPanelForm : km::TKmForm {
        TPanelForm() {
            panel = new QFrame(this);
            edit = new QLineEdit(panel);
        }
        QFrame* panel;
        QLineEdit* edit;
    };
    std::vector<std::string> logged;
    km::SetDebugOutput([&](const std::string& line) { logged.push_back(line); });
    const uint32_t oldLevel = km::GetDebugLevel();
    km::SetDebugLevel(0x3F15100F);  // every entry, to the debugger output only

    auto form = km::TKmForm::MakeForm<TPanelForm>();
    form->show();
    form->activateWindow();
    ASSERT_TRUE(kmtest::ProcessEventsUntil([&] { return form->isActiveWindow(); }));

    const km::TProcessing token = form->StartProcessing(true, false);
    ASSERT_NE(token, nullptr);
    EXPECT_FALSE(form->panel->isEnabled());
    EXPECT_EQ(form->StartProcessing(false, false), nullptr);
    EXPECT_THROW(form->StartProcessing(false, true), km::EInternalError);
    form->SetActiveControl(form->edit);
    EXPECT_FALSE(form->edit->hasFocus());
    form->EndProcessing(token);
    EXPECT_FALSE(form->IsProcessing());
    EXPECT_TRUE(form->panel->isEnabled());
    EXPECT_TRUE(form->edit->hasFocus());

    km::SetDebugLevel(oldLevel);
    km::SetDebugOutput({});
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_NE(logged[0].find("processing already started"), std::string::npos);
}

TEST_F(KmFormTest, InputChecksAndPanels) {
    struct TInputForm : km::TKmForm {
        TInputForm() {
            edit = new QLineEdit(this);
            panel = new QFrame(this);
            resize(300, 200);
            panel->setGeometry(0, 150, 300, 50);
        }
        QLineEdit* edit;
        QFrame* panel;
    };
    auto form = km::TKmForm::MakeForm<TInputForm>();
    form->show();
    EXPECT_NO_THROW(form->CheckControlOK(form->edit, true));
    try {
        form->CheckControlNotEmpty(form->edit, false);
        FAIL();
    } catch (const km::EInputError& e) {
        EXPECT_EQ(e.DisplayMessage(), "Ihre Eingabe ist unvollständig!");
    }
    try {
        form->CheckControlOK(form->edit, false, "Zahl fehlt");
        FAIL();
    } catch (const km::EInputError& e) {
        EXPECT_EQ(e.DisplayMessage(), "Zahl fehlt");
    }
    EXPECT_EQ(form->HidePanel(form->panel), 50);
    EXPECT_EQ(form->height(), 150);
    EXPECT_EQ(form->HidePanel(form->panel), 0);
}

TEST_F(KmFormTest, CloseOnIdleAsksOnceAndClosesWhenIdle) {
    struct TIdleForm : km::TKmForm {
        int queries = 0;
        bool FormCloseQuery() override {
            ++queries;
            return true;
        }
    };
    auto form = km::TKmForm::MakeForm<TIdleForm>();
    form->show();
    form->SetCloseOnIdle(true);
    form->close();
    form->close();
    EXPECT_TRUE(form->isVisible());
    ASSERT_TRUE(kmtest::ProcessEventsUntil([&] { return !form->isVisible(); }));
    EXPECT_EQ(form->queries, 1);
}

TEST_F(KmFormTest, CloseActionFreeReleasesApplicationOwnedWindow) {
    struct TFreeForm : km::TKmForm {
        void FormClose(km::TCloseAction& action) override { action = km::TCloseAction::caFree; }
    };
    QPointer<TFreeForm> form = &km::TKmForm::CreateForm<TFreeForm>();
    form->show();
    form->close();
    EXPECT_FALSE(form.isNull());
    ASSERT_TRUE(kmtest::ProcessEventsUntil([&] { return form.isNull(); }));

    auto owned = km::TKmForm::MakeForm<TFreeForm>();
    EXPECT_THROW(owned->Release(), km::EInternalError);
}

TEST_F(KmFormTest, CaughtKeystrokesReachTheFocusedControlLater) {
    auto form = km::TKmForm::MakeForm<km::TKmForm>();
    auto* edit = new QLineEdit(form.get());
    form->show();
    form->activateWindow();
    edit->setFocus();
    ASSERT_TRUE(kmtest::ProcessEventsUntil([&] { return edit->hasFocus(); }));

    form->CatchKeyEvents();
    for (const char* key : {"a", "b"}) {
        QCoreApplication::postEvent(
            edit, new QKeyEvent(QEvent::KeyPress, Qt::Key_A, Qt::NoModifier, key));
    }
    QApplication::processEvents();
    EXPECT_EQ(edit->text(), "");
    form->ReleaseCatchedKeyEvents();
    QApplication::processEvents();
    EXPECT_EQ(edit->text(), "ab");
}

TEST_F(KmFormTest, ViewInterfaceFindsControlsByName) {
    auto form = km::TKmForm::MakeForm<TWizardLikeForm>(false);
    form->label->setObjectName("Status");
    form->combo->setObjectName("Choice");
    form->SetControlText("Status", "fertig");
    EXPECT_EQ(form->label->text(), "fertig");
    form->SetControlItems("Choice", {"a", "b", "c"});
    EXPECT_EQ(form->combo->count(), 3);
    EXPECT_THROW(form->SetControlText("Missing", "x"), km::EInternalError);
    EXPECT_THROW(form->SetControlItems("Status", {"x"}), km::EInternalError);
    EXPECT_THROW(form->SetSubForm("Status", nullptr), km::EInternalError);
    EXPECT_THROW(form->SetAsSubForm(nullptr), km::ENotImplementedException);
    EXPECT_EQ(km::TKmForm::GetFormOrParentForm(form->label), form.get());
}

}  // namespace
