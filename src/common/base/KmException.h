#pragma once

// The in-house exception family and the internal-assertion facility.
//
// `Exception` is the root of our own family; it derives from std::exception so
// that every place that catches "any error" (std::exception) also catches file
// system, allocation and library errors. Each class reports the name it has in
// our error texts through ClassName(), never a mangled type name.

#include <exception>
#include <string>
#include <string_view>

namespace km {

class Exception : public std::exception {
  public:
    explicit Exception(std::string message = {}, int helpContext = 0);

    const char* what() const noexcept override { return fMessage.c_str(); }
    const std::string& Message() const { return fMessage; }
    void SetMessage(std::string message) { fMessage = std::move(message); }
    int HelpContext() const { return fHelpContext; }
    void SetHelpContext(int helpContext) { fHelpContext = helpContext; }

    virtual const char* ClassName() const { return "Exception"; }

  private:
    std::string fMessage;
    int fHelpContext = 0;
};

// Declares the ClassName() override of an exception class.
#define KM_EXCEPTION_CLASS_NAME(Name)        \
    const char* ClassName() const override { \
        return #Name;                        \
    }

// The silent abort: raised to leave an operation without any message.
// Nothing reports it to the user.
class EAbort : public Exception {
  public:
    explicit EAbort(std::string message = "Operation aborted") : Exception(std::move(message)) {}
    KM_EXCEPTION_CLASS_NAME(EAbort)
};

// A failed internal assertion (see KM_ASSERT below).
class EAssertionFailed : public Exception {
  public:
    using Exception::Exception;
    KM_EXCEPTION_CLASS_NAME(EAssertionFailed)
};

// What is taken over from an underlying exception.
struct TKmError {
    int ErrorCode = 0;
    std::string OriginalMsg;
    int OriginalErrorCode = 0;
};

// An error meant to reach the user: besides its message it carries a display
// text, a context, the message and code of an underlying error and our own code.
class EKmException : public Exception {
  public:
    // Wraps an underlying exception (may be null).
    EKmException(const std::exception* originalException, std::string sContext, int ourErrorCode);
    // An error of our own with English details. A negative ourErrorCode fails
    // an internal assertion.
    EKmException(int ourErrorCode, std::string sDetailsInEnglish, std::string sContext,
                 int originalErrorCode);
    // Message msgInEnglish, context strContext, no codes.
    EKmException(std::string msgInEnglish, std::string strContext);

    KM_EXCEPTION_CLASS_NAME(EKmException)

    const std::string& Context() const { return FsContext; }
    void SetContext(std::string context) { FsContext = std::move(context); }
    const std::string& DisplayMessage() const { return FsDisplayMessage; }
    int ErrorCode() const { return FOurErrorCode; }
    int OriginalErrorCode() const { return FOriginalErrorCode; }
    const std::string& OriginalMessage() const { return FsOriginalMessage; }
    const std::string& OriginalExceptionClass() const { return FsOriginalExceptionClass; }
    bool ShowOriginalMessage() const { return FbShowOriginalMessage; }

    // The three operations below are virtual so that a descendant can refine
    // them; the constructors of this class always use the versions here.
    // The user text for one of our error codes; none by default.
    virtual std::string GetDisplayMessageForCode(int errorCode) const;
    // What is taken over from an underlying exception.
    virtual TKmError GetErrorInfo(const std::exception& e) const;
    // The plain message of this exception.
    virtual std::string GetMessageText() const;

    // The text of an error box for this exception.
    std::string GetMsgFmt(const std::string& contextToAdd, bool bForceDetails) const;

    // Whether an error is one of the known harmless system errors. Without a
    // diagnostics facility that names the failing function this is never the
    // case.
    static bool ShallIgnoreException(const std::exception& e);

  protected:
    std::string FsOriginalMessage;
    std::string FsOriginalExceptionClass;
    int FOriginalErrorCode = 0;
    std::string FsDisplayMessage;
    int FOurErrorCode = 0;
    std::string FsContext;
    bool FbShowOriginalMessage = false;

  private:
    void Init(const std::exception* originalException, std::string sContext, int ourErrorCode);
};

// An error whose text is meant for the user.
class EMessageError : public EKmException {
  public:
    explicit EMessageError(const std::string& msg, const std::exception* e = nullptr);
    KM_EXCEPTION_CLASS_NAME(EMessageError)
};

// Invalid user input.
class EInputError : public EMessageError {
  public:
    using EMessageError::EMessageError;
    KM_EXCEPTION_CLASS_NAME(EInputError)
};

// Invalid data.
class EDataError : public EKmException {
  public:
    using EKmException::EKmException;
    KM_EXCEPTION_CLASS_NAME(EDataError)
};

// A broken internal precondition; English message. An empty message becomes
// "Internal Error: " followed by the class name.
class EInternalError : public Exception {
  public:
    explicit EInternalError(const std::string& msg = {});
    KM_EXCEPTION_CLASS_NAME(EInternalError)

  protected:
    EInternalError(const std::string& msg, std::string_view className);
};

// A path that is not implemented.
class ENotImplementedException : public EInternalError {
  public:
    explicit ENotImplementedException(const std::string& msg = {})
        : EInternalError(msg, "ENotImplementedException") {}
    KM_EXCEPTION_CLASS_NAME(ENotImplementedException)
};

// The name of an exception's class as our error texts show it: ClassName() for
// our family, the demangled type name otherwise.
std::string ExceptionClassName(const std::exception& e);

// Raises EAssertionFailed with "<message> (<unit>, Zeile <line>)"; an empty
// message becomes "Assertion fehlgeschlagen".
[[noreturn]] void AssertionFailed(std::string_view message, std::string_view unit, int line);

// AssertionFailed when condition is false.
inline void KmAssert(bool condition, std::string_view message, std::string_view unit, int line) {
    if (!condition) {
        AssertionFailed(message, unit, line);
    }
}

// The unit name of a source file: its path below src/ without the extension.
std::string_view UnitNameOf(std::string_view sourceFile);

}  // namespace km

// The message is built only when the assertion fails.
#define KM_ASSERT_MSG(condition, message)                                           \
    do {                                                                            \
        if (!(condition)) {                                                         \
            ::km::AssertionFailed((message), ::km::UnitNameOf(__FILE__), __LINE__); \
        }                                                                           \
    } while (false)
#define KM_ASSERT(condition) KM_ASSERT_MSG(condition, std::string_view{})
