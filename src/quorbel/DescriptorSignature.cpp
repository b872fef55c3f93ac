#include "quorbel/DescriptorSignature.h"

#include "common/base/KmException.h"
#include "common/crypto/Crypto.h"

namespace qb {

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
                                   const std::string& published, const std::string& lastAccepted) {
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
    if (IsPublishedTime(lastAccepted) && published < lastAccepted) {
        return TDescriptorVerdict::Older;
    }
    return TDescriptorVerdict::Accepted;
}

std::vector<std::string> DecodePublicKeys(const std::vector<std::string>& base64Keys) {
    std::vector<std::string> keys;
    for (const std::string& text : base64Keys) {
        const std::optional<std::string> key = km::DecodeBase64Strict(text);
        if (!key || key->size() != km::kEd25519PublicKeySize) {
            throw km::EInternalError("Not an Ed25519 public key: " + text);
        }
        keys.push_back(*key);
    }
    return keys;
}

}  // namespace qb
