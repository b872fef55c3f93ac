#include "common/crypto/Crypto.h"

#include <gtest/gtest.h>

#include "common/base/KmException.h"
#include "support/Sandbox.h"

namespace {

TEST(Crypto, Sha256OfPiecesAndOfAFile) {
    km::TSha256 sha;
    sha.Update("ab", 2);
    sha.Update("c", 1);
    const std::string abc = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
    EXPECT_EQ(sha.FinalHex(), abc);
    EXPECT_EQ(sha.FinalHex(),  // starts again after a result
              "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    kmtest::TempDir dir;
    kmtest::WriteTextFile(dir / "f", "abc");
    EXPECT_EQ(km::Sha256OfFile(dir / "f"), abc);
    EXPECT_EQ(km::Sha256OfFile(dir / "missing"), std::nullopt);
}

// One text, one value: anything but plain padded base64 is refused.
TEST(Crypto, Base64IsDecodedStrictly) {
    const struct {
        const char* text;
        std::optional<std::string> bytes;
    } cases[] = {
        {"YWJj", "abc"},
        {"YWI=", "ab"},
        {"YQ==", "a"},
        {"YQ==\n", "a"},  // as a file's one line
        {"", std::nullopt},
        {"YQ=", std::nullopt},    // cut short
        {"YQ", std::nullopt},     // no padding
        {"Y Q==", std::nullopt},  // a blank
        {"YR==", std::nullopt},   // unused bits set: another text of the same value
        {"YQ==YQ==", std::nullopt},
        {"YW=j", std::nullopt},
        {"YWJj\n\n", std::nullopt},
        {"YW_j", std::nullopt},  // the URL alphabet
    };
    for (const auto& c : cases) {
        EXPECT_EQ(km::DecodeBase64Strict(c.text), c.bytes) << c.text;
    }
    EXPECT_EQ(km::EncodeBase64("abcd"), "YWJjZA==");
}

TEST(Crypto, Ed25519SignsAndVerifies) {
    const km::TEd25519Key key = km::TEd25519Key::Generate();
    const std::string signature = key.Sign("message");
    EXPECT_TRUE(km::VerifyEd25519(key.PublicKey(), "message", signature));
    EXPECT_FALSE(km::VerifyEd25519(key.PublicKey(), "messagf", signature));
    EXPECT_FALSE(km::VerifyEd25519(key.PublicKey(), "message", signature.substr(1)));
    EXPECT_FALSE(km::VerifyEd25519(key.PublicKey().substr(1), "message", signature));
    const km::TEd25519Key again = km::TEd25519Key::FromPem(key.Pem());
    EXPECT_EQ(again.PublicKey(), key.PublicKey());
    EXPECT_THROW(km::TEd25519Key::FromPem("not a key"), km::Exception);
}

}  // namespace
