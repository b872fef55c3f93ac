#include "common/base/LocaleText.h"

#include <gtest/gtest.h>

#include "common/base/KmException.h"

namespace {

TEST(LocaleText, Utf8ToCodePageWritesEveryCharacterTheCodePageHas) {
    const struct {
        const char* utf8;
        const char* windows1252;
    } cases[] = {
        {"", ""},
        {"plain", "plain"},
        {"Passwört", "Passw\xF6rt"},
        {"ÄÖÜäöüß", "\xC4\xD6\xDC\xE4\xF6\xFC\xDF"},
        {"€ 5", "\x80 5"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(km::Utf8ToCodePage(c.utf8, "WINDOWS-1252"), c.windows1252) << c.utf8;
    }
}

// A stand-in character would make another password: refuse instead.
TEST(LocaleText, Utf8ToCodePageRefusesWhatTheCodePageCannotWrite) {
    EXPECT_THROW(km::Utf8ToCodePage("Łódź", "WINDOWS-1252"), km::Exception);
    EXPECT_THROW(km::Utf8ToCodePage("\xFF\xFE", "WINDOWS-1252"), km::Exception);
    EXPECT_THROW(km::Utf8ToCodePage("x", "NO-SUCH-CODE-PAGE"), km::Exception);
}

}  // namespace
