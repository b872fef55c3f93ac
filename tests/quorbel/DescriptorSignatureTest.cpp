#include "quorbel/DescriptorSignature.h"

#include <gtest/gtest.h>

#include "common/base/KmException.h"
#include "common/crypto/Crypto.h"

namespace {

using qb::TDescriptorVerdict;

TEST(DescriptorSignature, OnlyADescriptorSignedByAKeyAndNotOlderIsAccepted) {
    const km::TEd25519Key first = km::TEd25519Key::Generate();
    const km::TEd25519Key second = km::TEd25519Key::Generate();
    const km::TEd25519Key unknown = km::TEd25519Key::Generate();
    const std::vector<std::string> keys = {first.PublicKey(), second.PublicKey()};
    const std::string descriptor = "<configinfo><published>2026-12-10T12:00:00Z</published>";
    const std::string now = "2026-12-10T12:00:00Z";
    const auto sign = [&](const km::TEd25519Key& key, const std::string& text) {
        return km::EncodeBase64(key.Sign(text));
    };
    const std::string good = sign(first, descriptor);
    std::string edited = descriptor;
    edited[3] ^= 1;
    const struct {
        const char* name;
        std::optional<std::string> signature;
        std::string bytes;
        std::string published;
        std::string last;
        TDescriptorVerdict verdict;
    } cases[] = {
        {"good", good, descriptor, now, "", TDescriptorVerdict::Accepted},
        {"by the second key", sign(second, descriptor), descriptor, now, "",
         TDescriptorVerdict::Accepted},
        {"with a line break", good + "\n", descriptor, now, "", TDescriptorVerdict::Accepted},
        {"no signature file", std::nullopt, descriptor, now, "", TDescriptorVerdict::NoSignature},
        {"truncated base64", good.substr(0, good.size() - 4), descriptor, now, "",
         TDescriptorVerdict::NoSignature},
        {"garbled base64", "!" + good.substr(1), descriptor, now, "",
         TDescriptorVerdict::NoSignature},
        {"an unknown key", sign(unknown, descriptor), descriptor, now, "",
         TDescriptorVerdict::BadSignature},
        {"an edited byte", good, edited, now, "", TDescriptorVerdict::BadSignature},
        {"another descriptor's signature", sign(first, "other"), descriptor, now, "",
         TDescriptorVerdict::BadSignature},
        {"no published time", good, descriptor, "", "", TDescriptorVerdict::NoPublished},
        {"a malformed time", good, descriptor, "2026-12-10 12:00:00", "",
         TDescriptorVerdict::NoPublished},
        {"older than the last", good, descriptor, now, "2026-12-10T12:00:01Z",
         TDescriptorVerdict::Older},
        {"as old as the last", good, descriptor, now, now, TDescriptorVerdict::Accepted},
        {"newer than the last", good, descriptor, now, "2025-01-01T00:00:00Z",
         TDescriptorVerdict::Accepted},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(qb::CheckDescriptor(c.bytes, c.signature, keys, c.published, c.last), c.verdict)
            << c.name;
    }
}

// A time set wrong by the vendor: a descriptor from more than a day ahead of
// the machine is not valid yet; one accepted by mistake is superseded once
// by a descriptor that names exactly its time.
TEST(DescriptorSignature, TimesFromTheFutureAndTheWayBack) {
    const km::TEd25519Key key = km::TEd25519Key::Generate();
    const std::vector<std::string> keys = {key.PublicKey()};
    const std::string bytes = "<configinfo/>";
    const std::string signature = km::EncodeBase64(key.Sign(bytes));
    const std::string now = "2026-12-10T12:00:00Z";
    const std::string wrong = "2030-01-01T00:00:00Z";
    const struct {
        const char* name;
        std::string published;
        std::string last;
        std::string supersedes;
        TDescriptorVerdict verdict;
    } cases[] = {
        {"a day ahead: a signing clock a little fast", "2026-12-11T12:00:00Z", "", "",
         TDescriptorVerdict::Accepted},
        {"more than a day ahead", "2026-12-11T12:00:01Z", "", "", TDescriptorVerdict::NotYetValid},
        {"years ahead", wrong, "", "", TDescriptorVerdict::NotYetValid},
        {"after a wrong time was accepted", now, wrong, "", TDescriptorVerdict::Older},
        {"superseding exactly that time", now, wrong, wrong, TDescriptorVerdict::Accepted},
        {"superseding another time", now, wrong, "2029-01-01T00:00:00Z", TDescriptorVerdict::Older},
        {"the superseding one replayed later", now, "2026-12-10T12:00:01Z", wrong,
         TDescriptorVerdict::Older},
        {"superseding a time before its own", "2026-12-10T12:00:00Z", "2026-12-10T13:00:00Z",
         "2026-12-10T11:00:00Z", TDescriptorVerdict::Older},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(
            qb::CheckDescriptor(bytes, signature, keys, c.published, c.last, now, c.supersedes),
            c.verdict)
            << c.name;
    }
}

TEST(DescriptorSignature, TheBuildsKeysAreDecodedStrictly) {
    const km::TEd25519Key key = km::TEd25519Key::Generate();
    EXPECT_EQ(qb::DecodePublicKeys({km::EncodeBase64(key.PublicKey())}),
              std::vector<std::string>{key.PublicKey()});
    // The form "openssl pkey -pubout -outform DER | base64" writes.
    const std::string spki =
        std::string("\x30\x2a\x30\x05\x06\x03\x2b\x65\x70\x03\x21\x00", 12) + key.PublicKey();
    EXPECT_EQ(qb::DecodePublicKeys({km::EncodeBase64(spki)}),
              std::vector<std::string>{key.PublicKey()});
    EXPECT_THROW(qb::DecodePublicKeys({km::EncodeBase64(key.PublicKey().substr(1))}),
                 km::EInternalError);
    EXPECT_THROW(qb::DecodePublicKeys({"not base64"}), km::EInternalError);
}

}  // namespace
