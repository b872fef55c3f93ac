#include "common/registry/KmRegistry.h"

#include <mutex>
#include <vector>

#include "common/base/KmDebug.h"
#include "common/base/KmException.h"
#include "common/base/TextUtil.h"
#include "common/registry/RegistryStore.h"

namespace km {
namespace {

constexpr const char* kFallbackRoot = "\\Software\\Quorbel";

// The root is written at start-up and read from any thread afterwards; the
// lock costs nothing there and keeps a late SetRegistryRoot from racing.
struct RootState {
    std::mutex mutex;
    std::string root = "SOFTWARE\\kelmirath";
};

RootState& Root() {
    static RootState state;
    return state;
}

std::vector<std::string_view> SplitAtBackslash(std::string_view text) {
    std::vector<std::string_view> parts;
    size_t pos = 0;
    while (true) {
        const size_t slash = text.find('\\', pos);
        parts.push_back(text.substr(pos, slash == std::string_view::npos ? slash : slash - pos));
        if (slash == std::string_view::npos) {
            return parts;
        }
        pos = slash + 1;
    }
}

bool WriteString(THive hive, const std::string& key, const std::string& name,
                 const std::string& value) {
    TRegistryStore store(hive, TRegistryStore::TAccess::Write);
    const auto opened = store.CreateKey(key);
    return opened && store.WriteValue(*opened, name, TRegValue{TRegType::Sz, value});
}

// Reads look at the per-user hive first, so a per-user copy would hide the
// machine-wide value just written. Every failure here is of no concern.
void DeleteUserCopy(const std::string& key, const std::string& name) {
    TRegistryStore store(THive::HKEY_CURRENT_USER, TRegistryStore::TAccess::Write);
    if (const auto opened = store.OpenKey(key)) {
        store.DeleteValue(*opened, name);
    }
}

}  // namespace

void SetRegistryRoot(const std::string& root) {
    KM_ASSERT(!root.empty());
    std::lock_guard lock(Root().mutex);
    Root().root = root;
}

std::string GetRegistryRoot() {
    {
        std::lock_guard lock(Root().mutex);
        if (!Root().root.empty()) {
            return Root().root;
        }
    }
    DebugError(
        std::string("Standard registry root is not defined - using \"") + kFallbackRoot + "\"", {},
        1);
    return kFallbackRoot;
}

void ResolveRegPath(std::string& key, std::string& name) {
    if (key.empty()) {
        key = GetRegistryRoot();
    }
    const std::vector<std::string_view> parts = SplitAtBackslash(name);
    std::string_view current = parts.front();
    for (size_t next = 1; next < parts.size() && !parts[next].empty(); ++next) {
        if (!current.empty()) {
            if (!key.empty() && key.back() != '\\') {
                key += '\\';
            }
            key += current;
        }
        current = parts[next];
    }
    name = std::string(current);
}

bool TryReadRegString(THive hive, const std::string& key, const std::string& name,
                      std::string& value) {
    value.clear();
    TRegistryStore store(hive, TRegistryStore::TAccess::Read);
    const auto opened = store.OpenKey(key);
    if (!opened) {
        return false;
    }
    const auto stored = store.ReadValue(*opened, name);
    if (!stored) {
        return false;
    }
    if (stored->Data.empty()) {
        return true;
    }
    if (stored->Type != TRegType::Sz && stored->Type != TRegType::ExpandSz) {
        return false;
    }
    // Text ends at a zero byte, as a registry string does.
    value = stored->Data.substr(0, stored->Data.find('\0'));
    return true;
}

std::string ReadRegString(const std::string& name, const std::string& defaultValue,
                          const std::string& key, bool onlyHKCU) {
    std::string resolvedKey = key;
    std::string resolvedName = name;
    ResolveRegPath(resolvedKey, resolvedName);
    std::string value;
    if (TryReadRegString(THive::HKEY_CURRENT_USER, resolvedKey, resolvedName, value)) {
        return value;
    }
    if (onlyHKCU) {
        return defaultValue;
    }
    if (TryReadRegString(THive::HKEY_LOCAL_MACHINE, resolvedKey, resolvedName, value)) {
        return value;
    }
    return defaultValue;
}

bool WriteRegString(const std::string& name, const std::string& value, const std::string& key,
                    bool onlyHKCU, bool onlyHKLM) {
    KM_ASSERT_MSG(!(onlyHKCU && onlyHKLM), "OnlyHKCU + OnlyHKLM are not allowed");
    std::string resolvedKey = key;
    std::string resolvedName = name;
    ResolveRegPath(resolvedKey, resolvedName);
    const THive first = onlyHKCU ? THive::HKEY_CURRENT_USER : THive::HKEY_LOCAL_MACHINE;
    if (WriteString(first, resolvedKey, resolvedName, value)) {
        if (first == THive::HKEY_LOCAL_MACHINE) {
            DeleteUserCopy(resolvedKey, resolvedName);
        }
        return true;
    }
    if (onlyHKCU || onlyHKLM) {
        return false;
    }
    return WriteString(THive::HKEY_CURRENT_USER, resolvedKey, resolvedName, value);
}

}  // namespace km
