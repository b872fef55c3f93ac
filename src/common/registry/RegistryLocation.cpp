#include "common/registry/RegistryLocation.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "common/base/TextUtil.h"

namespace km {
namespace {

std::string Getenv(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

std::filesystem::path HomeDir() {
    if (std::string home = Getenv("HOME"); !home.empty()) {
        return home;
    }
    struct passwd entry {};
    struct passwd* found = nullptr;
    std::vector<char> buffer(16384);
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 &&
        found != nullptr && found->pw_dir != nullptr) {
        return found->pw_dir;
    }
    return "/";
}

bool NamesHive(std::string_view name, THive hive) {
    if (hive == THive::HKEY_CURRENT_USER) {
        return SameTextAscii(name, "HKCU") || SameTextAscii(name, "HKEY_CURRENT_USER");
    }
    return SameTextAscii(name, "HKLM") || SameTextAscii(name, "HKEY_LOCAL_MACHINE");
}

}  // namespace

std::filesystem::path RegistryHiveFile(THive hive) {
    const char* fileName = hive == THive::HKEY_CURRENT_USER ? "hkcu.db" : "hklm.db";
    if (std::string dir = Getenv("KM_REGISTRY_DIR"); !dir.empty()) {
        return std::filesystem::path(dir) / fileName;
    }
    if (hive == THive::HKEY_LOCAL_MACHINE) {
        return std::filesystem::path("/var/lib/kelmirath/registry") / fileName;
    }
    // A relative XDG_CONFIG_HOME is invalid and ignored, as the XDG rules say.
    std::filesystem::path config = Getenv("XDG_CONFIG_HOME");
    if (config.empty() || config.is_relative()) {
        config = HomeDir() / ".config";
    }
    return config / "kelmirath" / "registry" / fileName;
}

bool RegistryHiveForcedReadOnly(THive hive) {
    const std::string list = Getenv("KM_REGISTRY_READONLY");
    size_t pos = 0;
    while (pos < list.size()) {
        const size_t end = list.find_first_of(",; \t", pos);
        const std::string_view name =
            std::string_view(list).substr(pos, end == std::string::npos ? end : end - pos);
        if (NamesHive(name, hive)) {
            return true;
        }
        if (end == std::string::npos) {
            break;
        }
        pos = end + 1;
    }
    return false;
}

}  // namespace km
