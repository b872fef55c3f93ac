#pragma once

// Error boxes and the processing of queued close requests.
//
// An error box is a modal message box with the error icon, the caption
// "Fehler" (through the message catalogue) and one OK button at the default
// position. While one is open a TFatalErrorAppEvents holds back every timer
// tick and drops every exception that reaches the application, so that a
// failing timer handler cannot stack boxes on top of each other.
//
// Main thread only.

#include <cstdint>
#include <exception>
#include <string>

#include "common/ui/Application.h"
#include "common/ui/PostedMessage.h"

namespace km {

// Exists exactly as long as one error box is open. Nested boxes each add one;
// timers and exception reports stay held back until the last one is gone.
class TFatalErrorAppEvents : public TApplicationEvents {
  public:
    TFatalErrorAppEvents();
};

// Shows ComposeErrorText(aMsg, aContext, aDetails, bForceDetails) in an error
// box after carrying out every queued close request (ProcessPendingCloseRequests).
// There is no help file, so aHelpContext has no effect. Whatever the steps
// throw leaves the function after the listener has gone.
void ShowErrorDialog(const std::string& aMsg, const std::string& aContext = {},
                     const std::string& aDetails = {}, bool bForceDetails = false,
                     int aHelpContext = 0);

// Shows e only when its class has a text for the user and returns whether it
// did:
// - a math error (IsMathError, RuntimeErrors.h): "Die Eingabe ist nicht
//   korrekt. Bitte prüfen Sie, dass Sie eine gültige Zahl eingegeben haben.";
// - a conversion error (IsConvertError): "Diese Eingabe ist für das aktuelle
//   Feld nicht erlaubt." (both through the catalogue, with aContext);
// - an EKmException with a display message, or any EMessageError:
//   GetMsgFmt(aContext, bForceDetails) without a further context.
bool ShowSpecialException(const std::exception& e, const std::string& aContext = {},
                          bool bForceDetails = false);

// Shows e in an error box: ShowSpecialException's text when there is one,
// GetMsgFmt for any other EKmException, otherwise aContext with e's message
// as details.
void ShowExceptionDialog(const std::exception& e, const std::string& aContext = {},
                         bool bForceDetails = false);

// Takes the first queued message with a number in [low, high] for objects of
// the calling thread out of the queue and delivers it now; false when there
// was none. msg receives the message and its result.
bool ProcessPendingMessage(uint32_t low, uint32_t high, TMessage& msg);

// Delivers every queued close request (WM_CLOSE), then every queued window
// release (CM_RELEASE and Qt's deleteLater), so that windows about to close
// or be freed are gone.
void ProcessPendingCloseRequests();

}  // namespace km
