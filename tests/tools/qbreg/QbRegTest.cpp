#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <filesystem>
#include <string>
#include <vector>

#include "common/registry/KmRegistry.h"
#include "common/registry/RegistryStore.h"
#include "support/Sandbox.h"

extern char** environ;

namespace {

using km::THive;

struct Result {
    int exitCode = -1;
    std::string out;
    std::string err;
};

// Runs the built qbreg in the test's environment; output is caught in files
// of the sandbox so that parallel runs do not mix.
class QbRegTest : public ::testing::Test {
  protected:
    pid_t Start(const std::vector<std::string>& args, int slot = 0) {
        std::vector<std::string> all{QBREG_PATH};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& arg : all) {
            argv.push_back(arg.data());
        }
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        const std::string out = OutFile(slot, "out");
        const std::string err = OutFile(slot, "err");
        posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0600);
        posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0600);
        pid_t pid = -1;
        const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        EXPECT_EQ(rc, 0) << "cannot start " << argv[0];
        return rc == 0 ? pid : -1;
    }
    Result Wait(pid_t pid, int slot = 0) {
        Result result;
        int status = 0;
        if (pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status)) {
            result.exitCode = WEXITSTATUS(status);
        }
        result.out = kmtest::ReadTextFile(OutFile(slot, "out"));
        result.err = kmtest::ReadTextFile(OutFile(slot, "err"));
        return result;
    }
    Result Run(const std::vector<std::string>& args) { return Wait(Start(args)); }

    std::string OutFile(int slot, const char* kind) const {
        return (sandbox.Root() / ("qbreg" + std::to_string(slot) + "." + kind)).string();
    }

    kmtest::Sandbox sandbox;
};

TEST_F(QbRegTest, RoundTripsEveryType) {
    struct Case {
        const char* type;
        std::string data, shown, stored;
    };
    const Case cases[] = {
        {"REG_SZ", "C:\\Programme\\Quorbel ä", "C:\\Programme\\Quorbel ä",
         "C:\\Programme\\Quorbel ä"},
        {"REG_SZ", "", "", ""},
        {"reg_expand_sz", "%HOME%/x", "%HOME%/x", "%HOME%/x"},
        {"REG_DWORD", "42", "0x2a", std::string("\x2a\0\0\0", 4)},
        {"REG_DWORD", "0xFFFFFFFF", "0xffffffff", std::string(4, '\xff')},
        {"REG_QWORD", "0x1122334455667788", "0x1122334455667788",
         "\x88\x77\x66\x55\x44\x33\x22\x11"},
        {"REG_MULTI_SZ", "a\\0b c\\0d", "a\\0b c\\0d", std::string("a\0b c\0d\0\0", 9)},
        {"REG_MULTI_SZ", "", "", ""},
        {"REG_BINARY", "00ff7A", "00FF7A", std::string("\0\xff\x7a", 3)},
        {"REG_NONE", "", "", ""},
    };
    int n = 0;
    for (const Case& c : cases) {
        const std::string name = "Value" + std::to_string(n++);
        const Result add =
            Run({"add", "HKCU\\Software\\Types", "/v", name, "/t", c.type, "/d", c.data, "/f"});
        ASSERT_EQ(add.exitCode, 0) << c.type << " " << c.data << ": " << add.err;

        const Result query = Run({"query", "hkcu\\Software\\Types", "/v", name});
        EXPECT_EQ(query.exitCode, 0) << query.err;
        std::string typeName = c.type;
        for (char& ch : typeName) {
            ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
        }
        EXPECT_EQ(query.out, "\nHKEY_CURRENT_USER\\Software\\Types\n    " + name + "    " +
                                 typeName + "    " + c.shown + "\n\n")
            << c.type << " " << c.data;

        km::TRegistryStore store(THive::HKEY_CURRENT_USER, km::TRegistryStore::TAccess::Read);
        const auto key = store.OpenKey("Software\\Types");
        ASSERT_TRUE(key);
        const auto value = store.ReadValue(*key, name);
        ASSERT_TRUE(value);
        EXPECT_EQ(value->Data, c.stored) << c.type << " " << c.data;
    }
}

TEST_F(QbRegTest, SharesValuesWithTheRegistryLayer) {
    ASSERT_EQ(Run({"add", "HKEY_LOCAL_MACHINE\\Software\\kelmirath\\Tolvan", "/v", "InstallDir",
                   "/d", "/opt/quorbel"})
                  .exitCode,
              0);
    EXPECT_EQ(km::ReadRegString("InstallDir", "", "Software\\kelmirath\\Tolvan"), "/opt/quorbel");

    ASSERT_TRUE(km::WriteRegString("DatabaseDir", "/var/db", "Software\\kelmirath\\Tolvan", true));
    const Result query = Run({"query", "HKCU\\SOFTWARE\\KELMIRATH\\TOLVAN"});
    EXPECT_EQ(query.exitCode, 0) << query.err;
    EXPECT_EQ(query.out,
              "\nHKEY_CURRENT_USER\\SOFTWARE\\KELMIRATH\\TOLVAN\n"
              "    DatabaseDir    REG_SZ    /var/db\n");

    const Result tree = Run({"query", "HKLM\\software", "/s"});
    EXPECT_EQ(tree.exitCode, 0) << tree.err;
    EXPECT_EQ(tree.out,
              "\nHKEY_LOCAL_MACHINE\\software\n"
              "\nHKEY_LOCAL_MACHINE\\software\\kelmirath\n"
              "\nHKEY_LOCAL_MACHINE\\software\\kelmirath\\Tolvan\n"
              "    InstallDir    REG_SZ    /opt/quorbel\n");
}

TEST_F(QbRegTest, DeletesValuesAndKeys) {
    const std::string key = "HKCU\\Software\\Del";
    for (const char* name : {"a", "b"}) {
        ASSERT_EQ(Run({"add", key, "/v", name, "/d", "x"}).exitCode, 0);
    }
    ASSERT_EQ(Run({"add", key, "/ve", "/d", "default"}).exitCode, 0);
    ASSERT_EQ(Run({"add", key + "\\Sub", "/v", "c", "/d", "y"}).exitCode, 0);

    EXPECT_EQ(Run({"delete", key, "/v", "A"}).exitCode, 0);
    EXPECT_EQ(km::ReadRegString("a", "gone", "Software\\Del"), "gone");
    EXPECT_EQ(km::ReadRegString("b", "gone", "Software\\Del"), "x");
    EXPECT_EQ(Run({"delete", key, "/ve"}).exitCode, 0);
    EXPECT_EQ(km::ReadRegString("", "gone", "Software\\Del"), "gone");
    EXPECT_EQ(Run({"delete", key, "/va", "/f"}).exitCode, 0);
    EXPECT_EQ(km::ReadRegString("b", "gone", "Software\\Del"), "gone");
    EXPECT_EQ(km::ReadRegString("c", "gone", "Software\\Del\\Sub"), "y");
    EXPECT_EQ(Run({"delete", "hkcu\\software\\del"}).exitCode, 0);
    EXPECT_EQ(km::ReadRegString("c", "gone", "Software\\Del\\Sub"), "gone");
    EXPECT_EQ(Run({"query", key}).exitCode, 1);
}

TEST_F(QbRegTest, RefusesBadArgumentsAndMissingEntries) {
    ASSERT_EQ(Run({"add", "HKCU\\Exists", "/v", "v", "/d", "1"}).exitCode, 0);
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"frob"},
        {"query"},
        {"query", "/v", "x"},
        {"query", "HKCR\\x"},
        {"query", "HKCU\\a\\\\b"},
        {"query", "HKCU\\Exists", "/va"},
        {"query", "HKCU\\Exists", "/v", "v", "/ve"},
        {"query", "HKCU\\Exists", "stray"},
        {"query", "HKCU\\Missing"},
        {"query", "HKCU\\Exists", "/v", "missing"},
        {"query", "HKCU\\Exists", "/s", "/v", "missing"},
        {"add", "HKCU\\x", "/v"},
        {"add", "HKCU\\x", "/d", "data without a name"},
        {"add", "HKCU\\x", "/v", "a", "/t", "REG_FOO"},
        {"add", "HKCU\\x", "/v", "a", "/t", "REG_DWORD", "/d", "4294967296"},
        {"add", "HKCU\\x", "/v", "a", "/t", "REG_DWORD", "/d", "-1"},
        {"add", "HKCU\\x", "/v", "a", "/t", "REG_DWORD", "/d", "12abc"},
        {"add", "HKCU\\x", "/v", "a", "/t", "REG_QWORD", "/d", "0x"},
        {"add", "HKCU\\x", "/v", "a", "/t", "REG_BINARY", "/d", "abc"},
        {"add", "HKCU\\x", "/v", "a", "/t", "REG_BINARY", "/d", "zz"},
        {"add", "HKCU\\x", "/v", "a", "/t", "REG_MULTI_SZ", "/d", "a\\0\\0b"},
        {"add", "HKCU\\x", "/v", "a", "/d", "1", "/d", "2"},
        {"delete", "HKCU"},
        {"delete", "HKCU\\Missing"},
        {"delete", "HKCU\\Exists", "/v", "missing"},
    };
    for (const auto& args : cases) {
        std::string line;
        for (const auto& arg : args) {
            line += arg + " ";
        }
        const Result result = Run(args);
        EXPECT_EQ(result.exitCode, 1) << line;
        EXPECT_EQ(result.out, "") << line;
        EXPECT_EQ(result.err.rfind("ERROR: ", 0), 0u) << line << ": " << result.err;
    }
    km::TRegistryStore store(THive::HKEY_CURRENT_USER, km::TRegistryStore::TAccess::Read);
    EXPECT_FALSE(store.OpenKey("x"));
    EXPECT_EQ(km::ReadRegString("v", "", "Exists"), "1");

    const Result help = Run({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.out.find("/f"), std::string::npos);
}

TEST_F(QbRegTest, ReadOnlyHiveRefusesChanges) {
    ASSERT_EQ(Run({"add", "HKLM\\Software\\Q", "/v", "v", "/d", "1"}).exitCode, 0);
    kmtest::ScopedEnv readOnly("KM_REGISTRY_READONLY", "HKLM");
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"add", "HKLM\\Software\\Q", "/v", "v", "/d", "2"},
          std::vector<std::string>{"add", "HKLM\\Software\\New"},
          std::vector<std::string>{"delete", "HKLM\\Software\\Q", "/v", "v", "/f"},
          std::vector<std::string>{"delete", "HKLM\\Software\\Q", "/f"}}) {
        const Result result = Run(args);
        EXPECT_EQ(result.exitCode, 1) << args[0] << " " << args[1];
        EXPECT_EQ(result.err.rfind("ERROR: Access is denied", 0), 0u) << result.err;
    }
    const Result query = Run({"query", "HKLM\\Software\\Q", "/v", "v"});
    EXPECT_EQ(query.exitCode, 0);
    EXPECT_NE(query.out.find("REG_SZ    1"), std::string::npos) << query.out;
}

TEST_F(QbRegTest, ParallelProcessesLoseNothing) {
    constexpr int kProcesses = 12;
    std::vector<pid_t> pids;
    for (int i = 0; i < kProcesses; ++i) {
        pids.push_back(Start({"add", "HKLM\\Software\\Parallel\\K" + std::to_string(i % 3), "/v",
                              "v" + std::to_string(i), "/d", std::to_string(i)},
                             i));
    }
    for (int i = 0; i < kProcesses; ++i) {
        const Result result = Wait(pids[i], i);
        EXPECT_EQ(result.exitCode, 0) << result.err;
    }
    for (int i = 0; i < kProcesses; ++i) {
        EXPECT_EQ(km::ReadRegString("v" + std::to_string(i), "lost",
                                    "Software\\Parallel\\K" + std::to_string(i % 3)),
                  std::to_string(i));
    }
}

}  // namespace
