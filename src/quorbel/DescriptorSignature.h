#pragma once

// Signed updates. A vendor who signs publishes beside configinfo.xml the file
// configinfo.xml.sig (base64 of the Ed25519 signature over the exact bytes of
// the descriptor), a "published" time in the descriptor and a "sha256" per
// package. A build with the vendor's public keys accepts a descriptor only
// when one of them made its signature and it is not older than the last one
// it accepted (an old, genuinely signed descriptor replayed by an attacker
// would bring an old package back).

#include <chrono>
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
    NotYetValid,   // published more than a day after the checking machine's now
};

// The verdict on a descriptor's exact bytes, the text of its signature file
// (nothing when there was none), the raw 32-byte public keys, its
// "published" value and the last accepted one ("" when none). With now (a
// published time), a descriptor published more than a day later is not yet
// valid. supersedes, the descriptor's "supersedes" value, lets a vendor
// recover from a wrong time once: a descriptor older than the last accepted
// one is accepted when it names exactly that last time as superseded (and
// that time lies after its own); the next one must then be newer again.
TDescriptorVerdict CheckDescriptor(const std::string& descriptor,
                                   const std::optional<std::string>& signatureText,
                                   const std::vector<std::string>& keys,
                                   const std::string& published, const std::string& lastAccepted,
                                   const std::string& now = {}, const std::string& supersedes = {});

// A time as a "published" value (YYYY-MM-DDTHH:MM:SSZ, UTC).
std::string PublishedTimeOf(std::chrono::system_clock::time_point time);

// Whether text is a time in the form YYYY-MM-DDTHH:MM:SSZ (such texts order
// as their times do).
bool IsPublishedTime(const std::string& text);

// The raw keys of a build's list of base64 public keys: the raw 32 bytes,
// or the SubjectPublicKeyInfo that "openssl pkey -pubout" writes. Throws
// km::EInternalError for anything else.
std::vector<std::string> DecodePublicKeys(const std::vector<std::string>& base64Keys);

}  // namespace qb
