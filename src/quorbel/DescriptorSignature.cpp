#include "quorbel/DescriptorSignature.h"

#include <ctime>
#include <string_view>

#include "common/base/KmException.h"
#include "common/crypto/Crypto.h"

namespace qb {
namespace {

std::chrono::system_clock::time_point ParsePublishedTime(const std::string& text) {
    std::tm utc{};
    ::strptime(text.c_str(), "%Y-%m-%dT%H:%M:%SZ", &utc);
    return std::chrono::system_clock::from_time_t(timegm(&utc));
}

// The SubjectPublicKeyInfo of an Ed25519 key is these 12 bytes and the raw
// key; 12 bytes are 16 base64 characters, so its base64 form is this prefix
// followed by the raw key's base64.
constexpr std::string_view kSpkiPrefixBase64 = "MCowBQYDK2VwAyEA";

}  // namespace

bool IsPublishedTime(const std::string& text) {
    static const std::string form = "dddd-dd-ddTdd:dd:ddZ";
    if (text.size() != form.size()) {
        return false;
    }
    for (size_t i = 0; i < form.size(); ++i) {
        const bool ok = form[i] == 'd' ? text[i] >= '0' && text[i] <= '9' : text[i] == form[i];
        if (!ok) {
            return false;
        }
    }
    return true;
}

TDescriptorVerdict CheckDescriptor(const std::string& descriptor,
                                   const std::optional<std::string>& signatureText,
                                   const std::vector<std::string>& keys,
                                   const std::string& published, const std::string& lastAccepted,
                                   const std::string& now, const std::string& supersedes) {
    const std::optional<std::string> signature =
        signatureText ? km::DecodeBase64Strict(*signatureText) : std::nullopt;
    if (!signature || signature->size() != km::kEd25519SignatureSize) {
        return TDescriptorVerdict::NoSignature;
    }
    bool signedByKey = false;
    for (const std::string& key : keys) {
        signedByKey = signedByKey || km::VerifyEd25519(key, descriptor, *signature);
    }
    if (!signedByKey) {
        return TDescriptorVerdict::BadSignature;
    }
    if (!IsPublishedTime(published)) {
        return TDescriptorVerdict::NoPublished;
    }
    if (IsPublishedTime(now)) {
        const std::string limit = PublishedTimeOf(ParsePublishedTime(now) + std::chrono::hours(24));
        if (published > limit) {
            return TDescriptorVerdict::NotYetValid;
        }
    }
    if (IsPublishedTime(lastAccepted) && published < lastAccepted) {
        // The vendor's way out of a time set wrong once: the very time that
        // was accepted by mistake, named as superseded.
        const bool supersedesLast =
            IsPublishedTime(supersedes) && supersedes == lastAccepted && supersedes > published;
        if (!supersedesLast) {
            return TDescriptorVerdict::Older;
        }
    }
    return TDescriptorVerdict::Accepted;
}

std::string PublishedTimeOf(std::chrono::system_clock::time_point time) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(time);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

std::vector<std::string> DecodePublicKeys(const std::vector<std::string>& base64Keys) {
    std::vector<std::string> keys;
    for (const std::string& given : base64Keys) {
        const std::string text =
            given.starts_with(kSpkiPrefixBase64) ? given.substr(kSpkiPrefixBase64.size()) : given;
        const std::optional<std::string> key = km::DecodeBase64Strict(text);
        if (!key || key->size() != km::kEd25519PublicKeySize) {
            throw km::EInternalError("Not an Ed25519 public key: " + given +
                                     " (qbpublish pubkey KEY.pem prints the line to use)");
        }
        keys.push_back(*key);
    }
    return keys;
}

}  // namespace qb
