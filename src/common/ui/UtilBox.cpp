#include "common/ui/UtilBox.h"

#include <QCoreApplication>

#include "common/base/ErrorText.h"
#include "common/base/KmException.h"
#include "common/base/RuntimeErrors.h"
#include "common/base/Translate.h"

namespace km {

TFatalErrorAppEvents::TFatalErrorAppEvents() {
    OnMessage = [](QObject*, QEvent* event, bool& handled) {
        if (event->type() == QEvent::Timer) {
            handled = true;
        }
    };
    OnException = [](std::exception_ptr) {};
}

void ShowErrorDialog(const std::string& aMsg, const std::string& aContext,
                     const std::string& aDetails, bool bForceDetails, int /*aHelpContext*/) {
    TFatalErrorAppEvents appEvents;
    ProcessPendingCloseRequests();
    const std::string text = ComposeErrorText(aMsg, aContext, aDetails, bForceDetails);
    ShowMessageBox(text, Tr("Fehler"), QMessageBox::Critical);
}

bool ShowSpecialException(const std::exception& e, const std::string& aContext,
                          bool bForceDetails) {
    std::string text;
    std::string context = aContext;
    const auto* km = dynamic_cast<const EKmException*>(&e);
    if (IsMathError(e)) {
        text =
            Tr("Die Eingabe ist nicht korrekt. Bitte prüfen Sie, dass Sie eine gültige Zahl "
               "eingegeben haben.");
    } else if (IsConvertError(e)) {
        text = Tr("Diese Eingabe ist für das aktuelle Feld nicht erlaubt.");
    } else if (km != nullptr &&
               (!km->DisplayMessage().empty() || dynamic_cast<const EMessageError*>(&e))) {
        text = km->GetMsgFmt(aContext, bForceDetails);
        context.clear();
    }
    if (text.empty()) {
        return false;
    }
    ShowErrorDialog(text, context, {}, false, 0);
    return true;
}

void ShowExceptionDialog(const std::exception& e, const std::string& aContext, bool bForceDetails) {
    if (ShowSpecialException(e, aContext, bForceDetails)) {
        return;
    }
    if (const auto* km = dynamic_cast<const EKmException*>(&e)) {
        ShowErrorDialog(km->GetMsgFmt(aContext, bForceDetails), {}, {}, false, 0);
        return;
    }
    const auto* own = dynamic_cast<const Exception*>(&e);
    ShowErrorDialog({}, aContext, e.what(), bForceDetails, own != nullptr ? own->HelpContext() : 0);
}

bool ProcessPendingMessage(uint32_t low, uint32_t high, TMessage& msg) {
    auto queued = TakeQueuedMessage(low, high);
    if (!queued) {
        return false;
    }
    TMessageEvent event(queued->Message);
    QCoreApplication::sendEvent(queued->Target, &event);
    msg = event.Message();
    return true;
}

void ProcessPendingCloseRequests() {
    TMessage msg;
    while (ProcessPendingMessage(WM_CLOSE, WM_CLOSE, msg)) {
    }
    while (ProcessPendingMessage(CM_RELEASE, CM_RELEASE, msg)) {
    }
    // Windows closed with Qt::WA_DeleteOnClose and other deleteLater calls.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

}  // namespace km
