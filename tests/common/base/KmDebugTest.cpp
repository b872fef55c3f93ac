#include "common/base/KmDebug.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <vector>

#include "support/Sandbox.h"

namespace {

// Captures the debugger output and restores level and output afterwards.
class DebugLogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        km::SetDebugOutput([this](const std::string& line) { lines.push_back(line); });
    }
    void TearDown() override {
        km::SetDebugOutput({});
        km::SetDebugLevel(km::kDefaultDebugLevel);
        km::CloseDebugFile();
    }
    std::vector<std::string> lines;
};

TEST_F(DebugLogTest, FixedLevelPassesErrorsToTheDebuggerOutputOnly) {
    EXPECT_EQ(km::GetDebugLevel(), km::kDefaultDebugLevel);
    km::DebugError("kaputt");
    km::DebugError("kaputt", "Registry");
    km::DebugWarning("vorsicht");
    km::DebugLog("info");
    EXPECT_EQ(lines,
              (std::vector<std::string>{"#ERROR: : kaputt", "#ERROR (in 'Registry') : : kaputt"}));
}

TEST_F(DebugLogTest, LevelFilter) {
    EXPECT_EQ(km::SetDebugLevel(0x12341001), 0u);
    km::DebugError("dropped");
    EXPECT_TRUE(lines.empty());

    km::SetDebugLevel(0x3F151003);  // errors and warnings, everything to the debugger
    km::DebugWarning("w");
    km::DebugWarning("w", "HDR");
    km::DebugLog("dropped: flag 4 is not in the level");
    km::DebugError("e", {}, 0x0101);  // 0x100 is not in the level
    EXPECT_EQ(lines, (std::vector<std::string>{"WARNING: : w", "HDR: w"}));
}

TEST_F(DebugLogTest, FileOutputStartsWithItsHeaderLines) {
    const auto file = std::filesystem::path(km::DebugFileName());
    ASSERT_FALSE(file.empty());
    EXPECT_EQ(
        file.filename().string(),
        std::filesystem::path(std::filesystem::read_symlink("/proc/self/exe")).filename().string() +
            ".Debug.log");
    kmtest::WriteTextFile(file, "old content\r\n");
    km::SetDebugLevel(0x3F154004);
    km::DebugLog("erste Zeile");
    km::DebugLog("zweite", "HDR");
    km::CloseDebugFile();
    const std::string text = kmtest::ReadTextFile(file);
    std::filesystem::remove(file);
    ASSERT_EQ(text.rfind("Debug file was closed. Rewrite debug file.\r\n\r\nLog: , ", 0), 0u)
        << text;
    EXPECT_NE(text.find("\r\nerste Zeile\r\n\r\nHDR, "), std::string::npos) << text;
    EXPECT_EQ(text.find("old content"), std::string::npos);
    EXPECT_TRUE(lines.empty());
}

}  // namespace
