#pragma once

// The settings of a product's releases that stay from one publish to the
// next: follow-up programs and their parameters, archive passwords, the
// base URL of the packages, further sources, the URL style and the signing
// key's file. Kept in a small file of the vendor's (--settings FILE, mode
// 0600: it may hold passwords), never in the folder that is uploaded:
//
//   # qbpublish release settings
//   torun.install = setup.sh
//   runparams.install = --quiet
//   password.patch = SECRET
//   base-url = https://cdn.example/quorbel
//   mirror = https://mirror.example/quorbel
//   marker = no
//   sign-key = /media/safe/vendor-2026.pem
//
// What the command line gives overrides the file, and the file is written
// back with the result, so a setting given once stays until changed (an
// empty value, as --torun install=, removes it).

#include <map>
#include <string>
#include <vector>

namespace qbpublish {

struct TReleaseSettings {
    std::map<std::string, std::string> ToRun;      // per type
    std::map<std::string, std::string> RunParams;  // per type
    std::map<std::string, std::string> Password;   // per type
    std::string BaseUrl;
    std::vector<std::string> Mirrors;
    bool Marker = false;
    std::string SignKey;
};

// The settings in file; empty ones when it does not exist. Raises
// EPublishError for a line it does not understand.
TReleaseSettings LoadReleaseSettings(const std::string& file);

// Writes settings to file (mode 0600, replaced in one step).
void SaveReleaseSettings(const std::string& file, const TReleaseSettings& settings);

}  // namespace qbpublish
