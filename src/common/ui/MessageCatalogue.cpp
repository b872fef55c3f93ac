#include "common/ui/MessageCatalogue.h"

#include <libintl.h>

#include <clocale>
#include <cstring>
#include <filesystem>

#include "common/base/Translate.h"

namespace km {
namespace {

bool IsInside(const std::filesystem::path& file, const std::filesystem::path& folder) {
    const auto rel = file.lexically_relative(folder);
    return !rel.empty() && *rel.begin() != "..";
}

}  // namespace

std::string MessageCatalogueDir() {
    const std::filesystem::path buildDir = KM_LOCALEDIR_BUILD;
    std::error_code ec;
    const auto exe = std::filesystem::canonical("/proc/self/exe", ec);
    const auto buildRoot = std::filesystem::weakly_canonical(buildDir.parent_path(), ec);
    if (!exe.empty() && !buildRoot.empty() && IsInside(exe, buildRoot)) {
        return buildDir.string();
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
