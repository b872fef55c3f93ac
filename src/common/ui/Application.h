#pragma once

// The application object and its event hooks.
//
// TApplication is the QApplication of every program of ours. Qt does not let
// exceptions cross its event loop, so notify() is the one place where an
// exception that escaped an event handler is caught; it goes to
// HandleException. Our own dispatch points (TKmForm's handlers, TKmTimer)
// catch their exceptions themselves and hand them to HandleException, so that
// they never unwind through Qt's frames.
//
// TApplicationEvents is a listener that sees every event before it is
// dispatched and, while any listener has an exception handler, receives the
// exceptions instead of the default report.
//
// Everything here is for the main thread only.

#include <QApplication>
#include <QMessageBox>
#include <QPointer>

#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace km {

class TApplicationEvents {
  public:
    // handled = true keeps the event from being dispatched.
    using TMessageHandler = std::function<void(QObject* receiver, QEvent* event, bool& handled)>;
    using TExceptionHandler = std::function<void(std::exception_ptr error)>;

    // Registers with the running TApplication; there must be one.
    TApplicationEvents();
    virtual ~TApplicationEvents();
    TApplicationEvents(const TApplicationEvents&) = delete;
    TApplicationEvents& operator=(const TApplicationEvents&) = delete;

    TMessageHandler OnMessage;
    TExceptionHandler OnException;
};

class TApplication : public QApplication {
  public:
    // Prepares the message catalogue (see MessageCatalogue.h) and connects
    // the main-thread bridge for calls that worker threads hand over.
    TApplication(int& argc, char** argv);
    ~TApplication() override;

    // The running TApplication, or null.
    static TApplication* Instance();

    // The caption of the default exception report.
    const std::string& Title() const { return fTitle; }
    void SetTitle(const std::string& title);

    // Takes over a top-level window: it is freed when it releases itself or,
    // at the latest, with the application.
    void AdoptForm(std::unique_ptr<QWidget> form);

    bool notify(QObject* receiver, QEvent* event) override;

    // An exception that escaped an event handler: to every listener with an
    // exception handler when there is one, otherwise to ShowException.
    // Never throws.
    void HandleException(std::exception_ptr error);

    // The default report: EAbort is dropped; any other exception releases
    // the mouse grab and is shown in a modal box with the error icon, the
    // title as caption and DefaultExceptionText as text.
    void ShowException(std::exception_ptr error);

    // Ends the event loop.
    void Terminate();

  private:
    friend class TApplicationEvents;
    bool DispatchToListeners(QObject* receiver, QEvent* event);

    std::string fTitle;
    std::vector<TApplicationEvents*> fListeners;  // not owned; in order of creation
    std::vector<QPointer<QWidget>> fForms;        // owned
};

// The text of the default exception report: the message of the innermost
// exception of a std::nested_exception chain, with a full stop appended when
// its last character's code is above that of the full stop; nothing for
// EAbort.
std::optional<std::string> DefaultExceptionText(std::exception_ptr error);

// A modal message box with one OK button at the default position; returns
// when the user has pressed OK. "\r\n" in text is shown as a line break.
void ShowMessageBox(const std::string& text, const std::string& caption, QMessageBox::Icon icon);

// Hands the exception being handled to the application (or, without one, to
// the debug log). For catch blocks of our own event handlers.
void ReportCurrentException();

}  // namespace km
