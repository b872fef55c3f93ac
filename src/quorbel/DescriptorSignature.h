#pragma once

// Signed updates. A vendor who signs publishes beside configinfo.xml the file
// configinfo.xml.sig (base64 of the Ed25519 signature over the exact bytes of
// the descriptor), a "published" time in the descriptor and a "sha256" per
// package. A build with the vendor's public keys accepts a descriptor only
// when one of them made its signature and it is not older than the last one
// it accepted (an old, genuinely signed descriptor replayed by an attacker
// would bring an old package back).

#include <optional>
#include <string>
#include <vector>

namespace qb {

enum class TDescriptorVerdict {
    Accepted,
    NoSignature,   // no signature file, or not base64 of 64 bytes
    BadSignature,  // made by none of the keys, or over other bytes
    NoPublished,   // signed, but without a valid "published" time
    Older,         // older than the last descriptor accepted
};

// The verdict on a descriptor's exact bytes, the text of its signature file
// (nothing when there was none), the raw 32-byte public keys, its
// "published" value and the last accepted one ("" when none).
TDescriptorVerdict CheckDescriptor(const std::string& descriptor,
                                   const std::optional<std::string>& signatureText,
                                   const std::vector<std::string>& keys,
                                   const std::string& published, const std::string& lastAccepted);

// Whether text is a time in the form YYYY-MM-DDTHH:MM:SSZ (such texts order
// as their times do).
bool IsPublishedTime(const std::string& text);

// The raw keys of a build's list of base64 public keys. Throws
// km::EInternalError for a key that is not base64 of 32 bytes.
std::vector<std::string> DecodePublicKeys(const std::vector<std::string>& base64Keys);

}  // namespace qb
