#include "common/base/ErrorText.h"

#include "common/base/TextUtil.h"
#include "common/base/Translate.h"

namespace km {

std::string ComposeErrorText(const std::string& aMsg, const std::string& aContext,
                             const std::string& aDetails, bool bForceDetails) {
    std::string result = Join(aContext, aMsg, "\r\n\r\n");
    const bool addDetails = !aDetails.empty() && (aMsg.empty() || bForceDetails) &&
                            !ContainsText(aContext, aDetails) && !ContainsText(aMsg, aDetails);
    if (!addDetails) {
        return result;
    }
    if (result.empty()) {
        return aDetails;
    }
    std::string flat = ReplaceAll(Trim(aDetails), ".\r\n", "; ");
    flat = ReplaceAll(flat, "\r\n", "; ");
    return result + "\r\n\r\n" + Tr("Fehlermeldung:") + "\r\n[" + flat + "]";
}

}  // namespace km
