#include "quorbel/FollowUpPath.h"

#include <algorithm>
#include <filesystem>

namespace qb {

namespace fs = std::filesystem;

bool IsInsidePackage(const std::string& packageDir, const std::string& toRun) {
    if (toRun.empty()) {
        return true;
    }
    const fs::path relative = fs::path(toRun).lexically_normal();
    if (relative.is_absolute() || relative.empty() || *relative.begin() == "..") {
        return false;
    }
    std::error_code ec;
    const fs::path base = fs::canonical(packageDir, ec);
    if (ec) {
        return false;
    }
    const fs::path resolved = fs::weakly_canonical(base / relative, ec);
    if (ec) {
        return false;
    }
    const auto [baseEnd, resolvedAt] =
        std::mismatch(base.begin(), base.end(), resolved.begin(), resolved.end());
    return baseEnd == base.end() && resolvedAt != resolved.end();
}

}  // namespace qb
