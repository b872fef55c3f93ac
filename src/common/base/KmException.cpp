#include "common/base/KmException.h"

#include "common/base/Translate.h"

#include <cxxabi.h>

#include <cstdlib>
#include <memory>
#include <typeinfo>

#include "common/base/ErrorText.h"
#include "common/base/TextUtil.h"

namespace km {

Exception::Exception(std::string message, int helpContext)
    : fMessage(std::move(message)), fHelpContext(helpContext) {}

EKmException::EKmException(const std::exception* originalException, std::string sContext,
                           int ourErrorCode) {
    Init(originalException, std::move(sContext), ourErrorCode);
}

EKmException::EKmException(int ourErrorCode, std::string sDetailsInEnglish, std::string sContext,
                           int originalErrorCode) {
    KM_ASSERT(ourErrorCode >= 0);
    FsOriginalMessage = std::move(sDetailsInEnglish);
    FOriginalErrorCode = originalErrorCode;
    Init(nullptr, std::move(sContext), ourErrorCode);
}

EKmException::EKmException(std::string msgInEnglish, std::string strContext)
    : EKmException(0, std::move(msgInEnglish), std::move(strContext), 0) {}

void EKmException::Init(const std::exception* originalException, std::string sContext,
                        int ourErrorCode) {
    FbShowOriginalMessage = false;
    FsDisplayMessage.clear();
    if (originalException != nullptr) {
        const TKmError info = GetErrorInfo(*originalException);
        FsOriginalMessage = info.OriginalMsg;
        FOriginalErrorCode = info.OriginalErrorCode;
        FOurErrorCode = info.ErrorCode;
        if (info.ErrorCode == 0) {
            FbShowOriginalMessage = true;
        }
        if (const auto* km = dynamic_cast<const EKmException*>(originalException)) {
            FsOriginalExceptionClass = km->FsOriginalExceptionClass;
            FsDisplayMessage = km->FsDisplayMessage;
        } else {
            FsOriginalExceptionClass = ExceptionClassName(*originalException);
        }
    }
    if (ourErrorCode != 0) {
        FOurErrorCode = ourErrorCode;
    }
    std::string display = GetDisplayMessageForCode(FOurErrorCode);
    if (!display.empty()) {
        FsDisplayMessage = std::move(display);
    }
    FsContext = std::move(sContext);
    SetMessage(GetMessageText());
}

std::string EKmException::GetDisplayMessageForCode(int /*errorCode*/) const {
    return {};
}

TKmError EKmException::GetErrorInfo(const std::exception& e) const {
    TKmError info;
    if (const auto* km = dynamic_cast<const EKmException*>(&e)) {
        info.OriginalMsg = !km->FsOriginalMessage.empty() ? km->FsOriginalMessage : km->Message();
        info.OriginalErrorCode = km->FOriginalErrorCode;
        info.ErrorCode = km->FOurErrorCode;
    } else {
        info.OriginalMsg = e.what();
    }
    return info;
}

std::string EKmException::GetMessageText() const {
    const std::string suffix =
        FOriginalErrorCode != 0 ? " (" + std::to_string(FOriginalErrorCode) + ")" : std::string();
    auto withSuffix = [&suffix](const std::string& text) {
        if (suffix.empty() ||
            (text.size() >= suffix.size() &&
             text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0)) {
            return text;
        }
        return text + suffix;
    };
    if (!FsDisplayMessage.empty()) {
        return FsDisplayMessage;
    }
    for (const std::string* text : {&Message(), &FsOriginalMessage, &FsContext}) {
        if (!text->empty()) {
            return withSuffix(*text);
        }
    }
    return "Error code " +
           std::to_string(FOriginalErrorCode != 0 ? FOriginalErrorCode : FOurErrorCode);
}

std::string EKmException::GetMsgFmt(const std::string& contextToAdd, bool bForceDetails) const {
    std::string context = FsContext;
    if (!ContainsText(context, contextToAdd)) {
        context = Join(contextToAdd, context, "\r\n");
    }
    const std::string text = GetMessageText();
    if (FbShowOriginalMessage || bForceDetails) {
        std::string details = FsOriginalMessage;
        if (details.empty() && FOriginalErrorCode != 0) {
            details = text;
        }
        return ComposeErrorText(FsDisplayMessage, context, details, true);
    }
    return ComposeErrorText(FsDisplayMessage, context, text, false);
}

bool EKmException::ShallIgnoreException(const std::exception& /*e*/) {
    // The harmless cases are system errors from a few named window functions;
    // nothing here supplies the name of a failing function.
    return false;
}

EMessageError::EMessageError(const std::string& msg, const std::exception* e)
    : EKmException(msg, std::string()) {
    FsDisplayMessage = msg;
    if (e != nullptr) {
        FsOriginalMessage = e->what();
        FbShowOriginalMessage = true;
    }
}

EInternalError::EInternalError(const std::string& msg) : EInternalError(msg, "EInternalError") {}

EInternalError::EInternalError(const std::string& msg, std::string_view className)
    : Exception(msg.empty() ? "Internal Error: " + std::string(className) : msg) {}

std::string ExceptionClassName(const std::exception& e) {
    if (const auto* own = dynamic_cast<const Exception*>(&e)) {
        return own->ClassName();
    }
    const char* mangled = typeid(e).name();
    int status = 0;
    std::unique_ptr<char, decltype(&std::free)> demangled(
        abi::__cxa_demangle(mangled, nullptr, nullptr, &status), &std::free);
    return status == 0 && demangled ? std::string(demangled.get()) : std::string(mangled);
}

void AssertionFailed(std::string_view message, std::string_view unit, int line) {
    const std::string text =
        message.empty() ? Tr("Assertion fehlgeschlagen") : std::string(message);
    throw EAssertionFailed(
        TrArgs("%s (%s, Zeile %s)", {text, std::string(unit), std::to_string(line)}));
}

std::string_view UnitNameOf(std::string_view sourceFile) {
    const size_t src = sourceFile.rfind("src/");
    if (src != std::string_view::npos) {
        sourceFile.remove_prefix(src + 4);
    } else if (const size_t slash = sourceFile.rfind('/'); slash != std::string_view::npos) {
        sourceFile.remove_prefix(slash + 1);
    }
    if (const size_t dot = sourceFile.rfind('.'); dot != std::string_view::npos) {
        sourceFile.remove_suffix(sourceFile.size() - dot);
    }
    return sourceFile;
}

}  // namespace km
