#include "common/base/MessageCatalogue.h"

#include <libintl.h>

#include <clocale>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "common/base/Translate.h"

namespace km {
namespace {

namespace fs = std::filesystem;

bool IsInside(const fs::path& file, const fs::path& folder) {
    const auto rel = file.lexically_relative(folder);
    return !rel.empty() && *rel.begin() != "..";
}

// Whether folder holds the program's catalogue for at least one language.
bool HoldsCatalogue(const fs::path& folder) {
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        const fs::path mo = it->path() / "LC_MESSAGES" / (std::string(kTextDomain) + ".mo");
        if (fs::is_regular_file(mo, ec)) {
            return true;
        }
    }
    return false;
}

}  // namespace

std::vector<std::string> MessageCatalogueCandidates() {
    const fs::path buildDir = KM_LOCALEDIR_BUILD;
    std::vector<std::string> candidates;
    std::error_code ec;
    const fs::path exe = fs::canonical("/proc/self/exe", ec);
    if (!exe.empty()) {
        candidates.push_back((exe.parent_path().parent_path() / "share" / "locale").string());
        const fs::path buildRoot = fs::weakly_canonical(buildDir.parent_path(), ec);
        if (!buildRoot.empty() && IsInside(exe, buildRoot)) {
            candidates.push_back(buildDir.string());
        }
    }
    candidates.push_back(KM_LOCALEDIR_INSTALL);
    return candidates;
}

std::string MessageCatalogueDir() {
    for (const std::string& candidate : MessageCatalogueCandidates()) {
        if (HoldsCatalogue(candidate)) {
            return candidate;
        }
    }
    return KM_LOCALEDIR_INSTALL;
}

namespace {

bool IsCLocale(const char* name) {
    return name == nullptr || *name == 0 || std::strcmp(name, "C") == 0 ||
           std::strcmp(name, "POSIX") == 0;
}

// The messages language the environment asks for ("en_US" of
// "en_US.UTF-8"), as setlocale would read it; "" for none or C.
std::string EnvironmentLanguage() {
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* value = std::getenv(name);
        if (value != nullptr && *value != 0) {
            if (IsCLocale(value) || std::strncmp(value, "C.", 2) == 0) {
                return {};
            }
            std::string language = value;
            return language.substr(0, language.find_first_of(".@"));
        }
    }
    return {};
}

}  // namespace

void InitMessageCatalogue() {
    if (IsCLocale(std::setlocale(LC_MESSAGES, nullptr)) &&
        IsCLocale(std::setlocale(LC_MESSAGES, ""))) {
        // The locale the environment names is not generated here (or none is
        // named): its language still chooses the catalogue.
        const std::string language = EnvironmentLanguage();
        std::setlocale(LC_MESSAGES, "C.UTF-8");
        if (!language.empty() && std::getenv("LANGUAGE") == nullptr) {
            const std::string base = language.substr(0, language.find('_'));
            ::setenv("LANGUAGE", (language + (base != language ? ":" + base : "")).c_str(), 1);
        }
    }
    BindMessageCatalogue(MessageCatalogueDir());
    textdomain(kTextDomain);
}

}  // namespace km
