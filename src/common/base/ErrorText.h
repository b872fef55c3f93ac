#pragma once

// Composition of the text of an error box from a user message, a context and
// technical details.

#include <string>

namespace km {

// Context and message joined by an empty line; the details follow as
// "Fehlermeldung:" and the bracketed, one-line details when the message is
// empty or bForceDetails is set and neither context nor message contains them.
std::string ComposeErrorText(const std::string& aMsg, const std::string& aContext,
                             const std::string& aDetails, bool bForceDetails);

}  // namespace km
