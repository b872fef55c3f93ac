#include "common/base/KmException.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace {

TEST(EKmException, MessageTextRules) {
    // An underlying message with an underlying code gets the code appended once.
    EXPECT_EQ(km::EKmException(0, "Datei fehlt", "", 112).Message(), "Datei fehlt (112)");
    EXPECT_EQ(km::EKmException(0, "Datei fehlt (112)", "", 112).Message(), "Datei fehlt (112)");
    // No texts: the code.
    EXPECT_EQ(km::EKmException(3, "", "", 0).Message(), "Error code 3");
    EXPECT_EQ(km::EKmException(3, "", "", 7).Message(), "Error code 7");
    EXPECT_EQ(km::EKmException(nullptr, "", 0).Message(), "Error code 0");
    // Context is the last resort before the code.
    EXPECT_EQ(km::EKmException(0, "", "Kontext", 5).Message(), "Kontext (5)");
    // The third constructor keeps its message as it is.
    EXPECT_EQ(km::EKmException("Plain", "ctx").Message(), "Plain");
}

TEST(EKmException, NegativeOwnCodeFailsAnAssertion) {
    try {
        km::EKmException(-1, "x", "", 0);
        FAIL() << "no assertion";
    } catch (const km::EAssertionFailed& e) {
        EXPECT_NE(
            std::string(e.what()).find("Assertion fehlgeschlagen (common/base/KmException, Zeile "),
            std::string::npos)
            << e.what();
    }
}

TEST(EKmException, WrapsUnderlyingExceptions) {
    const std::runtime_error plain("disk full");
    km::EKmException wrapped(&plain, "Speichern", 0);
    EXPECT_EQ(wrapped.OriginalMessage(), "disk full");
    EXPECT_EQ(wrapped.OriginalExceptionClass(), "std::runtime_error");
    EXPECT_TRUE(wrapped.ShowOriginalMessage());
    EXPECT_EQ(wrapped.Context(), "Speichern");
    EXPECT_EQ(wrapped.Message(), "disk full");

    const km::EMessageError inner("Bitte prüfen");
    km::EKmException outer(&inner, "", 9);
    EXPECT_EQ(outer.DisplayMessage(), "Bitte prüfen");
    EXPECT_EQ(outer.OriginalExceptionClass(), "");
    EXPECT_EQ(outer.ErrorCode(), 9);
    EXPECT_EQ(outer.Message(), "Bitte prüfen");
}

TEST(EKmException, GetMsgFmt) {
    km::EKmException e(0, "low level", "Im Modul", 0);
    // ContextToAdd comes first unless the context already contains it.
    EXPECT_EQ(e.GetMsgFmt("Speichern", false),
              "Speichern\r\nIm Modul\r\n\r\nFehlermeldung:\r\n[low level]");
    EXPECT_EQ(e.GetMsgFmt("im modul", false), "Im Modul\r\n\r\nFehlermeldung:\r\n[low level]");
    EXPECT_EQ(e.GetMsgFmt("", false), "Im Modul\r\n\r\nFehlermeldung:\r\n[low level]");

    // An EMessageError with an underlying exception shows it even unforced.
    const std::runtime_error cause("socket closed");
    km::EMessageError m("Verbindung verloren", &cause);
    EXPECT_EQ(m.GetMsgFmt("", false),
              "Verbindung verloren\r\n\r\nFehlermeldung:\r\n[socket closed]");
    km::EMessageError plain("Verbindung verloren");
    EXPECT_EQ(plain.GetMsgFmt("", false), "Verbindung verloren");
}

TEST(EInternalError, MessagesAndClassNames) {
    EXPECT_STREQ(km::EInternalError("").what(), "Internal Error: EInternalError");
    EXPECT_STREQ(km::ENotImplementedException().what(), "Internal Error: ENotImplementedException");
    EXPECT_STREQ(km::EInternalError("Thread already running").what(), "Thread already running");
    const km::EInputError input("Ihre Eingabe ist unvollständig!");
    EXPECT_EQ(km::ExceptionClassName(input), "EInputError");
    EXPECT_FALSE(km::EKmException::ShallIgnoreException(input));
}

TEST(Assertion, FormatAndDefault) {
    try {
        km::KmAssert(false, "", "common/Km.Web", 477);
        FAIL();
    } catch (const km::EAssertionFailed& e) {
        EXPECT_STREQ(e.what(), "Assertion fehlgeschlagen (common/Km.Web, Zeile 477)");
    }
    try {
        KM_ASSERT_MSG(1 + 1 == 3, "Rechnen");
        FAIL();
    } catch (const km::EAssertionFailed& e) {
        EXPECT_EQ(std::string(e.what()).rfind("Rechnen (KmExceptionTest, Zeile ", 0), 0u)
            << e.what();
    }
    EXPECT_EQ(km::UnitNameOf("/x/src/common/KmWeb.cpp"), "common/KmWeb");
}

}  // namespace
