#include "common/base/MessageCatalogue.h"

#include <libintl.h>

#include <clocale>
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

void InitMessageCatalogue() {
    const char* messages = std::setlocale(LC_MESSAGES, nullptr);
    if (messages == nullptr || std::strcmp(messages, "C") == 0 ||
        std::strcmp(messages, "POSIX") == 0) {
        std::setlocale(LC_MESSAGES, "C.UTF-8");
    }
    BindMessageCatalogue(MessageCatalogueDir());
    textdomain(kTextDomain);
}

}  // namespace km
