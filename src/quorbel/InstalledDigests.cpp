#include "quorbel/InstalledDigests.h"

#include <sstream>
#include <vector>

#include "quorbel/RunRequest.h"
#include "quorbel/UpdateWorld.h"

namespace qb {
namespace {

std::vector<std::string> History(ISettingsStore& settings, const std::string& project,
                                 const std::string& type) {
    std::istringstream words(settings.Read(InstalledDigestsRegKey(project, type), ""));
    std::vector<std::string> digests;
    for (std::string digest; words >> digest;) {
        digests.push_back(digest);
    }
    return digests;
}

}  // namespace

std::string InstalledDigestsRegKey(const std::string& project, const std::string& type) {
    // "lastconfigupdate" is 16 characters: the rest names project and type.
    return "installeddigests" + LastConfigUpdateRegKey(project, type).substr(16);
}

bool WasInstalled(ISettingsStore& settings, const std::string& project, const std::string& type,
                  const std::string& digest) {
    if (digest.empty()) {
        return false;
    }
    for (const std::string& known : History(settings, project, type)) {
        if (known == digest) {
            return true;
        }
    }
    return false;
}

void RecordInstalled(ISettingsStore& settings, const std::string& project, const std::string& type,
                     const std::string& digest) {
    if (digest.empty()) {
        return;
    }
    std::string value = digest;
    int kept = 1;
    for (const std::string& known : History(settings, project, type)) {
        if (known != digest && kept < kInstalledDigestHistory) {
            value += " " + known;
            ++kept;
        }
    }
    settings.Write(InstalledDigestsRegKey(project, type), value);
}

}  // namespace qb
