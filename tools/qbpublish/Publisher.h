#pragma once

// Builds what the updater consumes: from a source folder holding one folder
// per update type ("dev", "partner", "patch", "install"), the project folder
// of a configuration server: one ZIP package per type, each with its one
// top-level folder named like the type, and the descriptor configinfo.xml
// (with configinfo.xml.sig when signing).
//
// The folder is written so that a server (or a copy of it being uploaded)
// never serves a mix: every file is written under a new name and renamed
// into place, the packages first, the descriptor and its signature last;
// packages the new descriptor no longer names are removed afterwards.

#include <chrono>
#include <map>
#include <string>
#include <vector>

#include "PublishError.h"

namespace qbpublish {

// How the descriptor names the packages.
enum class TUrlStyle {
    Relative,  // "dev.zip", relative to the project folder
    Marker,    // "#QBCONFIGDIR#dev.zip"
};

struct TTypeOptions {
    std::string Password;   // traditional ZIP encryption when not empty
    std::string ToRun;      // follow-up program, relative to the package's target
    std::string RunParams;  // its parameters
};

struct TPublishOptions {
    std::string SourceDir;  // holds the type folders
    std::string OutDir;     // receives the packages and configinfo.xml (created)
    std::string Date;       // the publication stamp of every package
    TUrlStyle UrlStyle = TUrlStyle::Relative;
    // When set, packages are named BaseUrl + "/" + <type>.zip (a CDN or any
    // other server than the configuration server's project folder).
    std::string BaseUrl;
    // Further sources: each package is also named as <mirror>/<type>.zip.
    std::vector<std::string> Mirrors;
    std::map<std::string, TTypeOptions> Types;  // per-type settings (optional)
    // Earlier releases to write delta packages from: the date each was
    // published with and its SOURCE folder as it was given then. Per type
    // (but install) and base, <type>-delta-<date>.zip, unless it would be
    // larger than half the package.
    struct TDeltaBase {
        std::string Date;
        std::string Dir;
    };
    std::vector<TDeltaBase> DeltaBases;
    // PKCS#8 PEM of an Ed25519 key: when set, the descriptor gets a
    // "published" time and configinfo.xml.sig its signature. Each type
    // always names its package's "sha256" and "size".
    std::string SignKeyPem;
    // The "published" time, YYYY-MM-DDTHH:MM:SSZ (UTC); now when empty. A
    // time more than kMaxClockLead ahead of this machine's clock is refused:
    // products would refuse every correct release after it.
    std::string Published;
    // A published time accepted by mistake (too far ahead) that this
    // descriptor supersedes: products that accepted exactly that time take
    // this one once (see README).
    std::string Supersedes;
    // The clock the published time is judged by (tests set it).
    std::chrono::system_clock::time_point Now = std::chrono::system_clock::now();
};

inline constexpr std::chrono::minutes kMaxClockLead{5};

struct TPublishResult {
    // The types published, in the updater's order, separated by blanks.
    std::string Types;
    // What the publisher should look at: content changed under an unchanged
    // date, a follow-up program no longer named, packages removed.
    std::vector<std::string> Warnings;
};

// Publishes every type folder found in SourceDir. Raises EPublishError for a
// folder that is not one of the four types, a source without any type
// folder, a type folder that is empty, a symbolic link in a package (the
// updater never creates links), settings for a type that has no folder, a
// published time too far ahead, or a package that cannot be written.
// Unix permissions and modification times are stored, so follow-up programs
// stay executable.
TPublishResult Publish(const TPublishOptions& options);

// The stamp "YYYYMMDDhhmmss" of the current time (UTC).
std::string CurrentDateStamp();

// The current time as YYYY-MM-DDTHH:MM:SSZ.
std::string CurrentPublishedTime();

}  // namespace qbpublish
