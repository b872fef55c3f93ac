#include "common/ui/Application.h"

#include <QWidget>

#include <algorithm>

#include "common/base/KmDebug.h"
#include "common/base/KmException.h"
#include "common/base/MessageCatalogue.h"
#include "common/base/TextUtil.h"
#include "common/ui/MainThreadBridge.h"
#include "common/ui/PostedMessage.h"

namespace km {
namespace {

TApplication* gApplication = nullptr;

std::string InnermostMessage(const std::exception& e) {
    try {
        std::rethrow_if_nested(e);
    } catch (const std::exception& inner) {
        return InnermostMessage(inner);
    } catch (...) {
    }
    return e.what();
}

}  // namespace

TApplicationEvents::TApplicationEvents() {
    TApplication* app = TApplication::Instance();
    KM_ASSERT_MSG(app != nullptr, "TApplicationEvents needs a TApplication");
    app->fListeners.push_back(this);
}

TApplicationEvents::~TApplicationEvents() {
    if (TApplication* app = TApplication::Instance()) {
        std::erase(app->fListeners, this);
    }
}

TApplication::TApplication(int& argc, char** argv) : QApplication(argc, argv) {
    gApplication = this;
    InitMessageCatalogue();
    InstallMainThreadBridge(*this, &ReportCurrentException);
}

TApplication::~TApplication() {
    RemoveMainThreadBridge();
    // Windows still alive are freed while the application can still serve
    // their destructors.
    for (auto& form : fForms) {
        delete form.data();
    }
    fForms.clear();
    gApplication = nullptr;
}

TApplication* TApplication::Instance() {
    return gApplication;
}

void TApplication::SetTitle(const std::string& title) {
    fTitle = title;
    // Not the display name: Qt would append that to every window caption.
    setApplicationName(QString::fromStdString(title));
}

void TApplication::AdoptForm(std::unique_ptr<QWidget> form) {
    std::erase_if(fForms, [](const QPointer<QWidget>& f) { return f.isNull(); });
    fForms.emplace_back(form.release());
}

bool TApplication::DispatchToListeners(QObject* receiver, QEvent* event) {
    // Newest listener first; a handler may end listeners, so the index is
    // checked on every step.
    bool handled = false;
    for (size_t i = fListeners.size(); i > 0 && !handled; --i) {
        if (i > fListeners.size()) {
            continue;
        }
        TApplicationEvents* listener = fListeners[i - 1];
        if (listener->OnMessage) {
            listener->OnMessage(receiver, event, handled);
        }
    }
    return handled;
}

bool TApplication::notify(QObject* receiver, QEvent* event) {
    if (event->type() == TMessageEvent::EventType() &&
        !static_cast<TMessageEvent*>(event)->BeginDelivery()) {
        return true;  // taken out of the queue earlier (ProcessPendingMessage)
    }
    try {
        if (!fListeners.empty() && DispatchToListeners(receiver, event)) {
            return true;
        }
        return QApplication::notify(receiver, event);
    } catch (...) {
        HandleException(std::current_exception());
        return true;
    }
}

void TApplication::HandleException(std::exception_ptr error) {
    try {
        std::vector<TApplicationEvents*> handlers;
        for (auto it = fListeners.rbegin(); it != fListeners.rend(); ++it) {
            if ((*it)->OnException) {
                handlers.push_back(*it);
            }
        }
        if (handlers.empty()) {
            ShowException(error);
            return;
        }
        for (TApplicationEvents* listener : handlers) {
            if (std::find(fListeners.begin(), fListeners.end(), listener) != fListeners.end()) {
                listener->OnException(error);
            }
        }
    } catch (const std::exception& e) {
        DebugError(std::string("exception while handling an exception: ") + e.what(),
                   "TApplication::HandleException");
    } catch (...) {
        DebugError("unknown exception while handling an exception",
                   "TApplication::HandleException");
    }
}

void TApplication::ShowException(std::exception_ptr error) {
    const std::optional<std::string> text = DefaultExceptionText(error);
    if (!text) {
        return;
    }
    if (QWidget* grabber = QWidget::mouseGrabber()) {
        grabber->releaseMouse();
    }
    ShowMessageBox(*text, fTitle, QMessageBox::Critical);
}

void TApplication::Terminate() {
    quit();
}

std::optional<std::string> DefaultExceptionText(std::exception_ptr error) {
    std::string message;
    try {
        std::rethrow_exception(error);
    } catch (const EAbort&) {
        return std::nullopt;
    } catch (const std::exception& e) {
        message = InnermostMessage(e);
    } catch (...) {
        message = "Unknown exception";
    }
    if (!message.empty() && static_cast<unsigned char>(message.back()) > '.') {
        message += '.';
    }
    return message;
}

void ShowMessageBox(const std::string& text, const std::string& caption, QMessageBox::Icon icon) {
    QMessageBox box(icon, QString::fromStdString(caption),
                    QString::fromStdString(ReplaceAll(text, "\r\n", "\n")), QMessageBox::Ok);
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

void ReportCurrentException() {
    if (TApplication* app = TApplication::Instance()) {
        app->HandleException(std::current_exception());
        return;
    }
    try {
        throw;
    } catch (const std::exception& e) {
        DebugError(e.what(), "ReportCurrentException");
    } catch (...) {
        DebugError("unknown exception", "ReportCurrentException");
    }
}

}  // namespace km
