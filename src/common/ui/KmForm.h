#pragma once

// TKmForm: the base of our windows, a top-level Qt widget.
//
// Creation. C++ runs no code of a derived class from a base constructor, so
// the creation steps run after the whole window is built: create every
// window through one of the factories,
//     TMainForm& form = TKmForm::CreateForm<TMainForm>(args...);   // owned by the application
//     auto form = TKmForm::MakeForm<TDialog>(args...);             // owned by the caller
// which construct the window (its constructor builds all widgets and sets
// AutoTranslate / NoAutoInitToolbars) and then call RunCreationSteps(), which
// runs DoCreate(): the texts through the message catalogue (unless
// AutoTranslate is false), the tool bars scaled by dots per inch / 96 (unless
// NoAutoInitToolbars is true), then the FormCreate() hook. An exception from
// any step is reported by the application's exception handling and creation
// continues. A window that cannot use the factories calls
// RunCreationSteps() at the end of its most derived constructor; it runs once.
//
// Showing. A non-spontaneous show runs FormShow(), then posts UM_AFTERSHOW;
// its handler calls DoAfterShow(), which fires AfterShow. Messages that
// FormShow posts are therefore delivered first, and AfterShow comes after
// the window has become visible.
//
// Closing. close() asks CloseQuery() (FormCloseQuery() unless CloseOnIdle),
// then FormClose(action) with the action preset to caHide: caNone keeps the
// window, caHide hides it, caFree hides it and frees it later (Release),
// caMinimize minimises it. Releasing needs a window owned by the application
// (CreateForm). Closing the last visible window ends the event loop.
//
// Messages. PostMessage() queues a message for the window; MessageHandler()
// receives it (override it, and call the base for the rest). The base
// handles UM_AFTERSHOW, UM_KEEPDISABLED, WM_CLOSE, WM_NEXTDLGCTL and
// CM_RELEASE.
//
// Main thread only. Exceptions from the hooks are reported by the
// application's exception handling.

#include <QPointer>
#include <QWidget>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/ui/Application.h"
#include "common/ui/PostedMessage.h"

class QEventLoop;

namespace km {

class TKeyEventsCatcher;

inline constexpr uint32_t UM_KEEPDISABLED = 0x9001;
inline constexpr uint32_t UM_AFTERSHOW = 0x9002;

enum class TCloseAction { caNone, caHide, caFree, caMinimize };

// The token of a busy period; the period lasts until EndProcessing.
class IProcessing {
  public:
    virtual ~IProcessing() = default;
};
using TProcessing = std::shared_ptr<IProcessing>;

class TKmForm : public QWidget {
    Q_OBJECT

  public:
    template <class TForm, class... Args>
    static TForm& CreateForm(Args&&... args) {
        auto form = std::make_unique<TForm>(std::forward<Args>(args)...);
        TForm& result = *form;
        form->fOwnedByApplication = true;
        form->RunCreationSteps();
        TApplication::Instance()->AdoptForm(std::move(form));
        return result;
    }
    template <class TForm, class... Args>
    static std::unique_ptr<TForm> MakeForm(Args&&... args) {
        auto form = std::make_unique<TForm>(std::forward<Args>(args)...);
        form->RunCreationSteps();
        return form;
    }

    // A top-level window (also with a parent).
    explicit TKmForm(QWidget* parent = nullptr);
    ~TKmForm() override;

    // Runs DoCreate once.
    void RunCreationSteps();

    // Properties read by the creation steps; set them in the constructor.
    bool AutoTranslate() const { return fAutoTranslate; }
    void SetAutoTranslate(bool value) { fAutoTranslate = value; }
    bool NoAutoInitToolbars() const { return fNoAutoInitToolbars; }
    void SetNoAutoInitToolbars(bool value) { fNoAutoInitToolbars = value; }

    // Keeps the window disabled whenever something enables it again.
    bool BlockEnable() const { return fBlockEnable; }
    void SetBlockEnable(bool value) { fBlockEnable = value; }

    // Enter moves the focus to the next control unless a button or a
    // multi-line edit has it.
    bool NextControlOnEnter() const { return fNextControlOnEnter; }
    void SetNextControlOnEnter(bool value) { fNextControlOnEnter = value; }

    // Fired once the window has been shown (see above).
    void SetAfterShow(std::function<void(TKmForm&)> afterShow) {
        fAfterShow = std::move(afterShow);
    }

    // Close requests are carried out when the event loop next becomes idle.
    // Raises EInternalError "CloseOnIdle does not work on modal forms" on a
    // modal window. Writing false switches the facility off again.
    bool CloseOnIdle() const { return fCloseOnIdle; }
    void SetCloseOnIdle(bool value);

    // The focused control. Setting it while busy only records the request,
    // which EndProcessing carries out.
    QWidget* ActiveControl() const { return focusWidget(); }
    void SetActiveControl(QWidget* control);

    void PostMessage(uint32_t msg, intptr_t wParam = 0, intptr_t lParam = 0);
    // Frees the window from the event loop (CM_RELEASE). Raises
    // EInternalError for a window not owned by the application.
    void Release();

    // Modal showing: runs an event loop until the window is hidden and
    // returns the modal result. parentView, when given, must belong to a
    // TKmForm, whose keystroke buffer the window shares.
    int ShowModal(QWidget* parentView = nullptr);
    bool IsModal() const { return fModalLoop != nullptr; }
    int ModalResult() const { return fModalResult; }
    void SetModalResult(int result);
    static bool ExistsOpenModalDialogs();
    // The TKmForm that widget belongs to, or null.
    static TKmForm* GetFormOrParentForm(QWidget* widget);

    // Busy state. A second StartProcessing raises EInternalError "processing
    // already started" with bForceNotIsRunning, else logs it and returns
    // null. bDisableControls disables the window's enabled direct-child
    // panels until EndProcessing (a direct child that is not a panel fails an
    // assertion).
    TProcessing StartProcessing(bool bDisableControls, bool bForceNotIsRunning);
    void EndProcessing(const TProcessing& processing);
    bool IsProcessing() const { return fProcessing != nullptr; }
    void DoProcessing(const std::function<void()>& proc, bool bDisableControls,
                      bool bForceNotIsRunning);

    // Input checks: when bCheck is false, focus control and raise EInputError
    // with sMsg or the default "Ihre Eingabe ist nicht korrekt!" /
    // "Ihre Eingabe ist unvollständig!".
    void CheckControlOK(QWidget* control, bool bCheck, const std::string& sMsg = {});
    void CheckControlNotEmpty(QWidget* control, bool bCheck, const std::string& sMsg = {});

    // Scales the whole window by dots per inch / 96, rounded to hundredths.
    void ScaleAllByDPI();
    // Hides a visible panel and makes the window shorter by its height,
    // which it returns; 0 for a hidden panel.
    int HidePanel(QWidget* panel);

    // The window position below the settings root + "\AppStorage\<name>"
    // (FormPlacement.h). A failed save is logged as a debug error.
    void LoadFormPosition();
    void SaveFormPosition();

    // Keystroke buffering (KeyEventsCatcher.h).
    void CatchKeyEvents();
    void ReleaseCatchedKeyEvents();
    void DismissCatchedKeyEvents();

    // The view interface of our presentation framework: controls are found
    // by their object name.
    virtual QWidget* FindControlForField(const std::string& field) const;
    virtual void SetControlText(const std::string& field, const std::string& text);
    virtual void SetSubForm(const std::string& field, QWidget* subForm);
    virtual void SetControlItems(const std::string& field, const std::vector<std::string>& items);
    void SetAsSubForm(QWidget* container);

  protected:
    // The creation steps (see above); call the base when overriding.
    virtual void DoCreate();
    // Hooks for the derived window; the defaults do nothing.
    virtual void FormCreate() {}
    virtual void FormShow() {}
    virtual bool FormCloseQuery() { return true; }
    virtual void FormClose(TCloseAction& /*action*/) {}

    virtual void DoAfterShow();
    virtual bool CloseQuery();
    // True when the message was handled.
    virtual bool MessageHandler(TMessage& msg);
    // True when the key was swallowed.
    virtual bool KeyPress(QKeyEvent& event);
    // The screen's logical dots per inch (a seam for tests).
    virtual double ScreenDotsPerInch() const;

    bool event(QEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

  private:
    void KeepDisabledIfBlocked();
    void FocusControl(QWidget* control);
    void CloseWhenIdle();
    void CheckControl(QWidget* control, bool bCheck, const std::string& sMsg,
                      const char* defaultMsg);

    bool fCreated = false;
    bool fOwnedByApplication = false;
    bool fBlockEnable = false;
    bool fCloseOnIdle = false;
    bool fMustClose = false;
    bool fAllowClose = false;
    bool fCloseRunning = false;
    bool fIdleClosePending = false;
    QMetaObject::Connection fIdleConnection;
    std::shared_ptr<TKeyEventsCatcher> fKeyEventsCatcher;
    std::vector<QPointer<QWidget>> fPanelsDisabledByStartProcessing;
    QPointer<QWidget> fNextActiveControl;
    bool fAutoTranslate = true;
    bool fNoAutoInitToolbars = false;
    bool fNextControlOnEnter = false;
    std::function<void(TKmForm&)> fAfterShow;
    TProcessing fProcessing;
    QEventLoop* fModalLoop = nullptr;  // the running modal loop, on ShowModal's stack
    int fModalResult = 0;
};

}  // namespace km
