#pragma once

// What the build, or whoever starts an update run, fixes for it.

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "common/web/HttpConfig.h"
#include "quorbel/ArchivePassword.h"

namespace qb {

// The configuration server root fixed into this build (scheme and host).
std::string DefaultConfigServerRoot();

// The archive passwords fixed into this build (none unless the build names
// them).
TArchivePasswordSource DefaultArchivePasswords();

// The vendor's Ed25519 public keys fixed into this build (base64), none for a
// build of unsigned updates.
std::vector<std::string> DefaultUpdatePublicKeys();

// The largest package this build downloads without a signed size.
int64_t DefaultMaxPackageBytes();

// The program's version ("1.0.0").
std::string ProgramVersion();

struct TUpdaterSettings {
    // The configuration server root (scheme and host).
    std::string ConfigServerRoot = DefaultConfigServerRoot();
    // The archive passwords (UTF-8, written in the archives' code page when
    // used); none when empty.
    TArchivePasswordSource ArchivePasswords = DefaultArchivePasswords();
    // With keys (base64), only descriptors signed by one of them are
    // accepted, and every package must match the digest the descriptor
    // names; without, signatures and digests are not read at all.
    std::vector<std::string> PublicKeys = DefaultUpdatePublicKeys();
    // A download that receives less than 100 bytes a second for this long
    // fails (the HTTP client's stall limit).
    std::chrono::seconds StallTimeout = km::kDefaultStallTimeout;
    // The first wait before a download that broke off without progress is
    // tried again (then twice, four and eight times as long).
    std::chrono::milliseconds FirstRetryWait = km::THttpConfig().FirstRetryWait;
    // How long the run waits for another update of the product to end
    // (anyone who can read the lock file can hold it).
    std::chrono::milliseconds LockWait = std::chrono::minutes(15);
    // A run that has not ended after this long is stopped, as a stop
    // request does: nothing may hold it for ever.
    std::chrono::seconds RunTimeLimit = std::chrono::hours(4);
    // A package without a signed size may not grow beyond this (nor beyond
    // the free space of the disk it is downloaded to).
    int64_t MaxPackageBytes = DefaultMaxPackageBytes();
    // Sent with every request, so that the vendor sees what runs in the
    // field; qbupdate names itself instead.
    std::string UserAgent = "QbOnlineUpdater/" + ProgramVersion();
};

}  // namespace qb
