#include "common/registry/RegistryLocation.h"

#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "common/base/TextUtil.h"
#include "common/base/TrustedPath.h"

namespace km {
namespace {

std::string Getenv(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

// Folders from the environment count only where no other account could
// have chosen them (root started with a user's environment would otherwise
// read and write that user's settings).
std::filesystem::path HomeDir() {
    return TrustedEnvPath("HOME").value_or(PasswordHomeDir());
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
    if (const std::optional<std::string> dir = TrustedEnvPath("KM_REGISTRY_DIR")) {
        return std::filesystem::path(*dir) / fileName;
    }
    if (hive == THive::HKEY_LOCAL_MACHINE) {
        return std::filesystem::path("/var/lib/kelmirath/registry") / fileName;
    }
    // A relative XDG_CONFIG_HOME is invalid and ignored, as the XDG rules say.
    const std::optional<std::string> xdg = TrustedEnvPath("XDG_CONFIG_HOME");
    const std::filesystem::path config = xdg ? std::filesystem::path(*xdg) : HomeDir() / ".config";
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
