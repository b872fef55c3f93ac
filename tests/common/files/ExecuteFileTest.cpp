#include "common/files/ExecuteFile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "common/base/JclWin32Error.h"
#include "common/base/KmException.h"
#include "support/Sandbox.h"

namespace {

namespace fs = std::filesystem;
using Args = std::vector<std::string>;

struct SplitCase {
    const char* parameters;
    Args expected;
};

TEST(SplitCommandLine, WindowsRuleWithoutExpansion) {
    const SplitCase cases[] = {
        {"", {}},
        {"  a  b\t c ", {"a", "b", "c"}},
        {R"("two words" x)", {"two words", "x"}},
        {R"(say\"hi\")", {R"(say"hi")"}},
        {R"("" x)", {"", "x"}},
        {R"(a"b c"d)", {"ab cd"}},
        {R"(C:\dir\file a\\b)", {R"(C:\dir\file)", R"(a\\b)"}},
        {R"(a\\\\"b c")", {R"(a\\b c)"}},
        {R"(a\\\"b)", {R"(a\"b)"}},
        {R"($HOME;ls|cat *&>x `id`)", {"$HOME;ls|cat", "*&>x", "`id`"}},
        {"'single quoted'", {"'single", "quoted'"}},
        {R"("unterminated x)", {"unterminated x"}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(km::SplitCommandLine(c.parameters), c.expected) << c.parameters;
    }
}

// A program that records its working directory and arguments next to itself
// and exits with 7.
fs::path WriteRecorder(const kmtest::TempDir& dir, const std::string& name) {
    const fs::path program = dir.Path() / "bin dir" / name;
    kmtest::WriteTextFile(program,
                          "#!/bin/sh\n"
                          "pwd > \"$0.cwd\"\n"
                          "printf '%s\\0' \"$@\" > \"$0.args.tmp\"\n"
                          "/bin/mv \"$0.args.tmp\" \"$0.args\"\n"
                          "exit 7\n");
    fs::permissions(program, fs::perms::owner_all);
    return program;
}

Args ReadArgs(const fs::path& file) {
    const std::string text = kmtest::ReadTextFile(file);
    Args args;
    size_t start = 0;
    for (size_t end; (end = text.find('\0', start)) != std::string::npos; start = end + 1) {
        args.push_back(text.substr(start, end - start));
    }
    return args;
}

// Waits for a file that a started program writes; the test fails if it never
// comes.
bool AwaitFile(const fs::path& file) {
    for (int i = 0; i < 1000 && !fs::exists(file); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return fs::exists(file);
}

TEST(ExecuteFile, StartsProgramWithUnchangedArgumentsInItsFolder) {
    kmtest::TempDir dir;
    const fs::path program = WriteRecorder(dir, "record");
    const std::string params = R"($HOME "a b" ;rm -rf x |cat `*` "q\"uote" 'sq' "")";

    EXPECT_EQ(km::ExecuteFile(program.string(), params, true, true), 7);
    EXPECT_EQ(ReadArgs(program.string() + ".args"),
              (Args{"$HOME", "a b", ";rm", "-rf", "x", "|cat", "`*`", R"(q"uote)", "'sq'", ""}));
    EXPECT_EQ(kmtest::ReadTextFile(program.string() + ".cwd"),
              program.parent_path().string() + "\n");

    fs::remove(program.string() + ".args");
    EXPECT_EQ(km::ExecuteFile(program.string(), "x", false, true), 0);
    ASSERT_TRUE(AwaitFile(program.string() + ".args"));
    EXPECT_EQ(ReadArgs(program.string() + ".args"), Args{"x"});
}

TEST(ExecuteFile, RelativePathIsResolvedBeforeChangingFolder) {
    kmtest::TempDir dir;
    const fs::path program = WriteRecorder(dir, "record");
    const fs::path old = fs::current_path();
    fs::current_path(dir.Path());
    const int rc = km::ExecuteFile("bin dir/record", "", true, false);
    fs::current_path(old);
    EXPECT_EQ(rc, 7);
}

TEST(ExecuteFile, MissingFileOrDirectory) {
    kmtest::TempDir dir;
    for (const std::string& name : {std::string(), dir / "missing", dir.Path().string()}) {
        EXPECT_EQ(km::ExecuteFile(name, "", true, false), -1) << name;
        try {
            km::ExecuteFile(name, "", false, true);
            ADD_FAILURE() << name;
        } catch (const km::EJclWin32Error&) {
            ADD_FAILURE() << "not a system error: " << name;
        } catch (const km::Exception& e) {
            EXPECT_EQ(e.Message(), "ShellExecute Error: Could not find file \"" + name + "\"");
        }
    }
}

TEST(ExecuteFile, FailedStartRaisesSystemError) {
    kmtest::TempDir dir;
    const fs::path garbage = dir.Path() / "garbage";
    kmtest::WriteTextFile(garbage,
                          "\x7f"
                          "not a program");
    fs::permissions(garbage, fs::perms::owner_all);

    EXPECT_EQ(km::ExecuteFile(garbage.string(), "", false, false), -1);
    try {
        km::ExecuteFile(garbage.string(), "", false, true);
        FAIL();
    } catch (const km::EJclWin32Error& e) {
        EXPECT_EQ(e.LastError(), static_cast<uint32_t>(ENOEXEC));
        EXPECT_EQ(e.LastErrorMsg(), "Exec format error");
        EXPECT_EQ(e.Message(), "Win32 error: Exec format error (8)\r\nShellExecute Error");
    }
}

TEST(ExecuteFile, DocumentGoesToOpener) {
    kmtest::TempDir dir;
    const fs::path document = dir.Path() / "docs" / "read me.txt";
    kmtest::WriteTextFile(document, "text");

    // Without any opener on PATH the document can neither run nor be opened.
    {
        kmtest::ScopedEnv path("PATH", (dir.Path() / "empty").string());
        EXPECT_EQ(km::ExecuteFile(document.string(), "", true, false), -1);
        try {
            km::ExecuteFile(document.string(), "", true, true);
            FAIL();
        } catch (const km::EJclWin32Error& e) {
            EXPECT_EQ(e.LastError(), static_cast<uint32_t>(ENOEXEC));
        }
    }

    // A stand-in opener on PATH receives the document's full path.
    const fs::path opener = WriteRecorder(dir, "xdg-open");
    kmtest::ScopedEnv path("PATH", opener.parent_path().string());
    EXPECT_EQ(km::ExecuteFile(document.string(), "ignored", true, true), 7);
    EXPECT_EQ(ReadArgs(opener.string() + ".args"), Args{document.string()});
    EXPECT_EQ(kmtest::ReadTextFile(opener.string() + ".cwd"),
              document.parent_path().string() + "\n");
}

TEST(EJclWin32Error, MessageAndErrno) {
    errno = ENOENT;
    const km::EJclWin32Error e("ShellExecute Error");
    EXPECT_EQ(e.LastError(), static_cast<uint32_t>(ENOENT));
    EXPECT_EQ(e.Message(), "Win32 error: No such file or directory (2)\r\nShellExecute Error");
    EXPECT_EQ(km::ExceptionClassName(e), "EJclWin32Error");
}

}  // namespace
