#include "common/registry/KmRegistry.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/base/KmDebug.h"
#include "common/base/KmException.h"
#include "common/base/TrustedPath.h"
#include "common/registry/RegistryLocation.h"
#include "common/registry/RegistryStore.h"
#include "support/Sandbox.h"

namespace {

using km::THive;
using km::TRegType;
using km::TRegValue;
constexpr THive HKCU = THive::HKEY_CURRENT_USER;
constexpr THive HKLM = THive::HKEY_LOCAL_MACHINE;

class RegistryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        km::SetRegistryRoot("Software\\kelmirath\\Tolvan");
        km::SetDebugOutput([this](const std::string& line) { debugLines.push_back(line); });
    }
    void TearDown() override {
        km::SetDebugOutput({});
        km::SetRegistryRoot("SOFTWARE\\kelmirath");
    }

    // Stores a typed value directly, bypassing the string layer.
    static void Put(THive hive, const std::string& key, const std::string& name,
                    const TRegValue& value) {
        km::TRegistryStore store(hive, km::TRegistryStore::TAccess::Write);
        const auto id = store.CreateKey(key);
        ASSERT_TRUE(id);
        ASSERT_TRUE(store.WriteValue(*id, name, value));
    }
    static std::optional<std::string> Get(THive hive, const std::string& key,
                                          const std::string& name) {
        std::string value;
        if (!km::TryReadRegString(hive, key, name, value)) {
            return std::nullopt;
        }
        return value;
    }

    kmtest::Sandbox sandbox;
    std::vector<std::string> debugLines;
};

TEST_F(RegistryTest, ResolveRegPath) {
    struct Case {
        std::string key, name, wantKey, wantName;
    };
    const Case cases[] = {
        {"K", "a\\b\\c", "K\\a\\b", "c"},
        {"K", "\\c", "K", "c"},
        {"K", "a\\\\b", "K", "a"},
        {"K", "a\\", "K", "a"},
        {"K", "plain", "K", "plain"},
        {"K", "", "K", ""},
        {"", "plain", "Software\\kelmirath\\Tolvan", "plain"},
        {"", "sub\\x", "Software\\kelmirath\\Tolvan\\sub", "x"},
        {"K\\", "a\\b", "K\\a", "b"},
    };
    for (const Case& c : cases) {
        std::string key = c.key;
        std::string name = c.name;
        km::ResolveRegPath(key, name);
        EXPECT_EQ(key, c.wantKey) << c.key << " / " << c.name;
        EXPECT_EQ(name, c.wantName) << c.key << " / " << c.name;
    }
}

TEST_F(RegistryTest, AssertionsAndRoot) {
    EXPECT_THROW(km::SetRegistryRoot(""), km::EAssertionFailed);
    EXPECT_EQ(km::GetRegistryRoot(), "Software\\kelmirath\\Tolvan");
    try {
        km::WriteRegString("x", "y", "", true, true);
        FAIL() << "no assertion";
    } catch (const km::EAssertionFailed& e) {
        EXPECT_EQ(std::string(e.what()).rfind("OnlyHKCU + OnlyHKLM are not allowed (", 0), 0u)
            << e.what();
    }
    EXPECT_FALSE(Get(HKLM, "Software\\kelmirath\\Tolvan", "x"));
    EXPECT_FALSE(Get(HKCU, "Software\\kelmirath\\Tolvan", "x"));

    // Empty key and a name with a sub-path land below the root.
    ASSERT_TRUE(km::WriteRegString("lastconfigupdate.dev", "2024-01-01"));
    ASSERT_TRUE(km::WriteRegString("Paths\\InstallDir", "/opt/q"));
    EXPECT_EQ(Get(HKLM, "Software\\kelmirath\\Tolvan", "lastconfigupdate.dev"), "2024-01-01");
    EXPECT_EQ(Get(HKLM, "\\Software\\kelmirath\\Tolvan\\Paths", "InstallDir"), "/opt/q");
}

TEST_F(RegistryTest, ReadPrefersReadablePerUserValue) {
    const std::string key = "Software\\Q";
    struct Case {
        const char* what;
        std::optional<TRegValue> user, machine;
        bool onlyHKCU;
        std::string want;
    };
    const Case cases[] = {
        {"both strings", TRegValue{TRegType::Sz, "user"}, TRegValue{TRegType::Sz, "machine"}, false,
         "user"},
        {"per-user number", TRegValue{TRegType::Dword, std::string("\x01\0\0\0", 4)},
         TRegValue{TRegType::Sz, "machine"}, false, "machine"},
        {"per-user binary", TRegValue{TRegType::Binary, "\x01"}, TRegValue{TRegType::Sz, "machine"},
         false, "machine"},
        {"per-user number without data", TRegValue{TRegType::Dword, ""},
         TRegValue{TRegType::Sz, "machine"}, false, ""},
        {"per-user empty string", TRegValue{TRegType::Sz, ""}, TRegValue{TRegType::Sz, "machine"},
         false, ""},
        {"expand string unexpanded", TRegValue{TRegType::ExpandSz, "%HOME%/x"}, std::nullopt, false,
         "%HOME%/x"},
        {"string ends at a zero byte", TRegValue{TRegType::Sz, std::string("ab\0cd", 5)},
         std::nullopt, false, "ab"},
        {"machine only", std::nullopt, TRegValue{TRegType::Sz, "machine"}, false, "machine"},
        {"machine only, per-user asked", std::nullopt, TRegValue{TRegType::Sz, "machine"}, true,
         "default"},
        {"machine number", std::nullopt, TRegValue{TRegType::Qword, std::string(8, '\1')}, false,
         "default"},
        {"nowhere", std::nullopt, std::nullopt, false, "default"},
    };
    int n = 0;
    for (const Case& c : cases) {
        const std::string name = "v" + std::to_string(n++);
        if (c.user) {
            Put(HKCU, key, name, *c.user);
        }
        if (c.machine) {
            Put(HKLM, key, name, *c.machine);
        }
        EXPECT_EQ(km::ReadRegString(name, "default", key, c.onlyHKCU), c.want) << c.what;
    }
    EXPECT_TRUE(debugLines.empty());
}

TEST_F(RegistryTest, MachineWriteRemovesPerUserCopy) {
    const std::string key = "Software\\Q";
    Put(HKCU, key, "Setting", {TRegType::Sz, "old user"});
    Put(HKCU, key, "Other", {TRegType::Sz, "kept"});
    ASSERT_TRUE(km::WriteRegString("Setting", "new", key));
    EXPECT_EQ(Get(HKLM, key, "Setting"), "new");
    EXPECT_FALSE(Get(HKCU, key, "Setting"));
    EXPECT_EQ(Get(HKCU, key, "Other"), "kept");
    EXPECT_EQ(km::ReadRegString("Setting", "default", key), "new");

    // With no per-user hive at all the clean-up creates none.
    std::filesystem::remove(km::RegistryHiveFile(HKCU));
    ASSERT_TRUE(km::WriteRegString("Setting", "newer", key));
    EXPECT_FALSE(std::filesystem::exists(km::RegistryHiveFile(HKCU)));

    ASSERT_TRUE(km::WriteRegString("Setting", "mine", key, true));
    EXPECT_EQ(Get(HKCU, key, "Setting"), "mine");
    EXPECT_EQ(Get(HKLM, key, "Setting"), "newer");
}

TEST_F(RegistryTest, ReadOnlyMachineHive) {
    const std::string key = "Software\\Q";
    Put(HKLM, key, "Existing", {TRegType::Sz, "machine"});
    for (const char* seam : {"HKLM", "hkey_local_machine", "HKCU,hklm"}) {
        kmtest::ScopedEnv readOnly("KM_REGISTRY_READONLY", seam);
        EXPECT_EQ(km::ReadRegString("Existing", "", key), "machine") << seam;
        EXPECT_FALSE(km::WriteRegString("Existing", "x", key, false, true)) << seam;
        EXPECT_EQ(Get(HKLM, key, "Existing"), "machine") << seam;
    }
    kmtest::ScopedEnv readOnly("KM_REGISTRY_READONLY", "HKLM");
    ASSERT_TRUE(km::WriteRegString("Fresh", "user", key));
    EXPECT_EQ(Get(HKCU, key, "Fresh"), "user");
    EXPECT_FALSE(Get(HKLM, key, "Fresh"));
    EXPECT_FALSE(km::WriteRegString("OnlyMachine", "x", "Software\\New", false, true));
    EXPECT_FALSE(Get(HKLM, "Software\\New", "OnlyMachine"));
    {
        km::TRegistryStore store(HKLM, km::TRegistryStore::TAccess::Read);
        EXPECT_FALSE(store.OpenKey("Software\\New"));
    }
    EXPECT_TRUE(debugLines.empty());
}

TEST_F(RegistryTest, NamesIgnoreCaseAndKeepIt) {
    ASSERT_TRUE(km::WriteRegString("ÄrgerDir", "1", "Software\\Kelmirath\\Tolvan"));
    ASSERT_TRUE(km::WriteRegString("äRGERdir", "2", "SOFTWARE\\kelmirath\\tolvan"));
    EXPECT_EQ(km::ReadRegString("ärgerdir", "", "software\\KELMIRATH\\TOLVAN"), "2");

    km::TRegistryStore store(HKLM, km::TRegistryStore::TAccess::Read);
    const auto software = store.OpenKey("\\software");
    ASSERT_TRUE(software);
    EXPECT_EQ(store.SubKeys(*software), std::vector<std::string>{"Kelmirath"});
    const auto tolvan = store.OpenKey("software\\kelmirath\\TOLVAN\\");
    ASSERT_TRUE(tolvan);
    const auto values = store.Values(*tolvan);
    ASSERT_TRUE(values);
    ASSERT_EQ(values->size(), 1u);
    EXPECT_EQ(values->front().Name, "ÄrgerDir");
    EXPECT_EQ(values->front().Value.Data, "2");
}

TEST_F(RegistryTest, KeyTree) {
    km::TRegistryStore store(HKCU, km::TRegistryStore::TAccess::Write);
    EXPECT_FALSE(store.OpenKey("A"));
    EXPECT_FALSE(std::filesystem::exists(km::RegistryHiveFile(HKCU)));
    const auto deep = store.CreateKey("A\\B\\C");
    ASSERT_TRUE(deep);
    EXPECT_EQ(store.OpenKey("\\a\\b\\c"), deep);
    for (const char* bad : {"A\\\\B", "\\\\A", "A\\\\"}) {
        EXPECT_FALSE(store.OpenKey(bad)) << bad;
        EXPECT_FALSE(store.CreateKey(bad)) << bad;
    }
    ASSERT_TRUE(store.WriteValue(*deep, "", {TRegType::Sz, "default value"}));
    EXPECT_EQ(store.ReadValue(*deep, "")->Data, "default value");
    EXPECT_FALSE(store.DeleteValue(*deep, "missing"));

    const auto hive = store.OpenKey("");
    ASSERT_TRUE(hive);
    EXPECT_FALSE(store.DeleteKey(*hive));
    const auto a = store.OpenKey("a");
    ASSERT_TRUE(a);
    EXPECT_TRUE(store.DeleteKey(*a));
    EXPECT_FALSE(store.OpenKey("A\\B\\C"));
    EXPECT_FALSE(store.OpenKey("A"));

    km::TRegistryStore reader(HKCU, km::TRegistryStore::TAccess::Read);
    EXPECT_FALSE(reader.CreateKey("X"));
}

TEST_F(RegistryTest, MissingHiveIsNotCreatedByReads) {
    const auto dir = sandbox.Root() / "fresh" / "registry";
    kmtest::ScopedEnv env("KM_REGISTRY_DIR", dir.string());
    EXPECT_EQ(km::ReadRegString("x", "default", "Software\\Q"), "default");
    EXPECT_FALSE(std::filesystem::exists(dir));
    ASSERT_TRUE(km::WriteRegString("x", "1", "Software\\Q"));
    EXPECT_TRUE(std::filesystem::exists(dir / "hklm.db"));
    EXPECT_FALSE(std::filesystem::exists(dir / "hkcu.db"));

    // A zero-length file is an empty database, not a damaged one.
    kmtest::WriteTextFile(dir / "hkcu.db", "");
    EXPECT_EQ(km::ReadRegString("x", "default", "Software\\Q", true), "default");
    EXPECT_TRUE(km::WriteRegString("x", "2", "Software\\Q", true));
    EXPECT_EQ(km::ReadRegString("x", "default", "Software\\Q"), "2");
    EXPECT_TRUE(debugLines.empty());
}

TEST_F(RegistryTest, DamagedHiveIsLeftAlone) {
    std::string random(8192, '\0');
    unsigned state = 12345;
    for (char& c : random) {
        state = state * 1103515245u + 12345u;
        c = static_cast<char>(state >> 16);
    }
    const std::string sqliteHeaderThenGarbage = std::string("SQLite format 3\0", 16) + random;
    for (const std::string& content : {random, sqliteHeaderThenGarbage}) {
        for (const THive hive : {HKCU, HKLM}) {
            kmtest::WriteTextFile(km::RegistryHiveFile(hive), content);
        }
        debugLines.clear();
        EXPECT_EQ(km::ReadRegString("x", "default", "Software\\Q"), "default");
        EXPECT_FALSE(km::WriteRegString("x", "1", "Software\\Q"));
        EXPECT_FALSE(km::WriteRegString("x", "1", "Software\\Q", true));
        for (const THive hive : {HKCU, HKLM}) {
            EXPECT_EQ(kmtest::ReadTextFile(km::RegistryHiveFile(hive)), content);
        }
        ASSERT_FALSE(debugLines.empty());
        EXPECT_NE(debugLines.front().find("#ERROR"), std::string::npos);
        EXPECT_NE(debugLines.front().find("hk"), std::string::npos) << debugLines.front();
    }
}

// A writer killed while it commits leaves a rollback journal next to the hive
// ("hot"). The next reader must still see the last committed values: a
// read-only connection could not roll the journal back, and every read,
// "InstallDir" included, would fail until some writer came along.
TEST_F(RegistryTest, ReadsAfterAWriterWasKilledInMidCommit) {
    const std::string key = "Software\\Q";
    Put(HKLM, key, "Kept", {TRegType::Sz, "committed"});
    const std::filesystem::path hive = sandbox.RegistryDir() / "hklm.db";
    // The state on disk while a big transaction has spilled into the file:
    // copied aside, it is what a killed writer leaves.
    const std::filesystem::path crashed = sandbox.Root() / "crashed";
    std::filesystem::create_directories(crashed);
    {
        sqlite3* raw = nullptr;
        ASSERT_EQ(sqlite3_open(hive.c_str(), &raw), SQLITE_OK);
        const std::unique_ptr<sqlite3, int (*)(sqlite3*)> db(raw, sqlite3_close);
        ASSERT_EQ(sqlite3_exec(db.get(),
                               "PRAGMA cache_size = 2; BEGIN IMMEDIATE;"
                               "UPDATE vals SET data = zeroblob(10);"
                               "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n "
                               "WHERE i < 2000) INSERT INTO vals SELECT 1, 'v' || i, 'v' || i, 1, "
                               "zeroblob(500) FROM n;",
                               nullptr, nullptr, nullptr),
                  SQLITE_OK);
        ASSERT_TRUE(std::filesystem::exists(hive.string() + "-journal"));
        std::filesystem::copy_file(hive, crashed / "hklm.db");
        std::filesystem::copy_file(hive.string() + "-journal", crashed / "hklm.db-journal");
        sqlite3_exec(db.get(), "ROLLBACK", nullptr, nullptr, nullptr);
    }
    kmtest::ScopedEnv env("KM_REGISTRY_DIR", crashed.string());
    EXPECT_EQ(km::ReadRegString("Kept", "<none>", key), "committed");
    EXPECT_TRUE(debugLines.empty());
}

TEST_F(RegistryTest, ConcurrentWritersLoseNothing) {
    constexpr int kPerThread = 100;
    const auto writer = [](const std::string& prefix, bool& allOk) {
        allOk = true;
        for (int i = 0; i < kPerThread; ++i) {
            allOk = km::WriteRegString(prefix + std::to_string(i), std::to_string(i),
                                       "Software\\Shared") &&
                    allOk;
        }
    };
    bool okA = false;
    bool okB = false;
    std::thread a(writer, "a", std::ref(okA));
    std::thread b(writer, "b", std::ref(okB));
    a.join();
    b.join();
    EXPECT_TRUE(okA);
    EXPECT_TRUE(okB);
    km::TRegistryStore store(HKLM, km::TRegistryStore::TAccess::Read);
    const auto key = store.OpenKey("Software\\Shared");
    ASSERT_TRUE(key);
    EXPECT_EQ(store.Values(*key)->size(), 2u * kPerThread);
    for (int i = 0; i < kPerThread; ++i) {
        EXPECT_EQ(Get(HKLM, "Software\\Shared", "a" + std::to_string(i)), std::to_string(i));
        EXPECT_EQ(Get(HKLM, "Software\\Shared", "b" + std::to_string(i)), std::to_string(i));
    }
    EXPECT_TRUE(debugLines.empty());
}

// Root started with a user's environment (sudo -E) reads and writes its own
// settings, never a hive in a folder that user controls.
TEST(RegistryLocation, AFolderOfAnotherAccountInTheEnvironmentIsNotUsed) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to make a folder of another account";
    }
    const kmtest::TempDir dir;
    const std::filesystem::path foreign = dir.Path() / "user";
    std::filesystem::create_directories(foreign);
    ASSERT_EQ(::chown(foreign.c_str(), 65534, 65534), 0);
    const kmtest::ScopedEnv registryDir("KM_REGISTRY_DIR", foreign.string());
    const kmtest::ScopedEnv home("HOME", foreign.string());
    const kmtest::ScopedEnv config("XDG_CONFIG_HOME", (foreign / ".config").string());
    const std::string user = km::RegistryHiveFile(km::THive::HKEY_CURRENT_USER).string();
    const std::string machine = km::RegistryHiveFile(km::THive::HKEY_LOCAL_MACHINE).string();
    EXPECT_EQ(user.find(foreign.string()), std::string::npos) << user;
    EXPECT_EQ(user, km::PasswordHomeDir() + "/.config/kelmirath/registry/hkcu.db");
    EXPECT_EQ(machine, "/var/lib/kelmirath/registry/hklm.db");
}

}  // namespace
