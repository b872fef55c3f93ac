#include "common/zip/ExtractTarget.h"

#include <gtest/gtest.h>

namespace {

TEST(ExtractTarget, SafeEntryPath) {
    struct Case {
        const char* name;
        std::optional<std::string> path;
    };
    const Case cases[] = {
        {"dev/a.txt", "dev/a.txt"},
        {"dev\\sub\\a.txt", "dev/sub/a.txt"},
        {"dev/", "dev"},
        {"./dev//a", "dev/a"},
        {"a..b/..c", "a..b/..c"},
        {"dev:x", "dev:x"},
        {"", ""},
        {"./", ""},
        {"..", std::nullopt},
        {"../a", std::nullopt},
        {"a/../b", std::nullopt},
        {"a\\..\\..\\b", std::nullopt},
        {"/etc/passwd", std::nullopt},
        {"\\etc", std::nullopt},
        {"\\\\host\\share", std::nullopt},
        {"C:\\x", std::nullopt},
        {"z:x", std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(km::SafeEntryPath(c.name), c.path) << c.name;
    }
}

}  // namespace
