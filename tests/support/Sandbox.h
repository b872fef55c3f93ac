#pragma once

// A fresh folder per test, removed afterwards, and environment variables set
// for the duration of a test.

#include <filesystem>
#include <optional>
#include <string>

namespace kmtest {

// A new, empty folder below the system's temporary folder; removed with its
// content when the object goes.
class TempDir {
  public:
    TempDir();
    // The same below base.
    explicit TempDir(const std::filesystem::path& base);
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& Path() const { return fPath; }
    // Path() / relative as a string.
    std::string operator/(const std::string& relative) const;

  private:
    std::filesystem::path fPath;
};

// Sets (or, with nullopt, unsets) an environment variable; restores the old
// value when the object goes.
class ScopedEnv {
  public:
    ScopedEnv(std::string name, std::optional<std::string> value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

  private:
    std::string fName;
    std::optional<std::string> fOld;
};

// A whole sandbox: a temporary folder that holds the registry store
// (KM_REGISTRY_DIR) and serves as TMPDIR for the duration of a test.
class Sandbox {
  public:
    Sandbox();
    const std::filesystem::path& Root() const { return fRoot.Path(); }
    std::filesystem::path RegistryDir() const { return Root() / "registry"; }
    std::filesystem::path TempBase() const { return Root() / "tmp"; }
    // The updater's private temporary folder below TempBase() (made by the
    // updater on first use).
    std::filesystem::path PrivateTemp() const;

  private:
    TempDir fRoot;
    std::optional<ScopedEnv> fRegistry;
    std::optional<ScopedEnv> fTmp;
};

// Writes text to a file, creating its folders.
void WriteTextFile(const std::filesystem::path& file, const std::string& text);
// The whole content of a file ("" when it cannot be read).
std::string ReadTextFile(const std::filesystem::path& file);

}  // namespace kmtest
