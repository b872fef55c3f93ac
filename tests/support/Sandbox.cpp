#include <unistd.h>

#include "support/Sandbox.h"

#include <stdlib.h>

#include <fstream>
#include <sstream>
#include <stdexcept>

namespace kmtest {

namespace {

std::filesystem::path DefaultBase() {
    const char* base = std::getenv("TMPDIR");
    return base != nullptr && *base != 0 ? base : "/tmp";
}

}  // namespace

TempDir::TempDir() : TempDir(DefaultBase()) {}

TempDir::TempDir(const std::filesystem::path& base) {
    std::string pattern = (base / "kmtest-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("cannot create a test folder below " + pattern);
    }
    fPath = pattern;
}

TempDir::~TempDir() {
    std::error_code ec;
    // Tests may leave read-only folders behind; make them writable first.
    for (auto it = std::filesystem::recursive_directory_iterator(
             fPath, std::filesystem::directory_options::skip_permission_denied, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        if (it->is_directory(ec) && !it->is_symlink(ec)) {
            std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                         std::filesystem::perm_options::add, ec);
        }
    }
    std::filesystem::remove_all(fPath, ec);
}

std::string TempDir::operator/(const std::string& relative) const {
    return (fPath / relative).string();
}

ScopedEnv::ScopedEnv(std::string name, std::optional<std::string> value) : fName(std::move(name)) {
    if (const char* old = std::getenv(fName.c_str())) {
        fOld = old;
    }
    if (value) {
        setenv(fName.c_str(), value->c_str(), 1);
    } else {
        unsetenv(fName.c_str());
    }
}

ScopedEnv::~ScopedEnv() {
    if (fOld) {
        setenv(fName.c_str(), fOld->c_str(), 1);
    } else {
        unsetenv(fName.c_str());
    }
}

Sandbox::Sandbox() {
    std::filesystem::create_directories(RegistryDir());
    std::filesystem::create_directories(TempBase());
    fRegistry.emplace("KM_REGISTRY_DIR", RegistryDir().string());
    fTmp.emplace("TMPDIR", TempBase().string());
}

std::filesystem::path Sandbox::PrivateTemp() const {
    return TempBase() / ("kelmirath-" + std::to_string(::geteuid()));
}

void WriteTextFile(const std::filesystem::path& file, const std::string& text) {
    if (file.has_parent_path()) {
        std::filesystem::create_directories(file.parent_path());
    }
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << text;
}

std::string ReadTextFile(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

}  // namespace kmtest
