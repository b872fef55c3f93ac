#pragma once

// String settings in the registry store (see RegistryStore.h) below a
// process-wide settings root, in the per-user hive or the machine-wide one.
//
// Reads prefer the per-user value and fall back to the machine-wide one;
// writes go machine-wide when the process may write there and per-user
// otherwise. No function here raises for a registry reason: reads return the
// caller's default, writes return false. The only exceptions are the two
// internal assertions named below (EAssertionFailed).
//
// Threads: every function may be called from any thread; each call opens and
// closes its own store access. Set the root at start-up, before other threads
// read it.

#include <string>

#include "common/registry/RegistryLocation.h"

namespace km {

// Replaces the settings root (a key path below a hive, without the hive's
// name; initially "SOFTWARE\kelmirath"). An empty root fails an internal
// assertion and changes nothing.
void SetRegistryRoot(const std::string& root);
// The settings root.
std::string GetRegistryRoot();

// The value name of the setting `name` below `key` (the root when empty; a
// non-empty key is a full path below the hive). `name` may carry a sub-path:
// a\b\c is the value c in the subkey a\b. The per-user value wins; with
// onlyHKCU the machine-wide hive is not consulted. REG_SZ and REG_EXPAND_SZ
// (not expanded) are read; a value of another type that holds data counts as
// absent, one without data reads as "". A value holding "" is found.
std::string ReadRegString(const std::string& name, const std::string& defaultValue = {},
                          const std::string& key = {}, bool onlyHKCU = false);

// Writes `name` = `value` as REG_SZ (name and key as for ReadRegString).
// Default: the machine-wide hive, and then the per-user copy of the value is
// deleted so that reads see the new value; when the machine-wide hive cannot
// be written, the per-user hive instead. onlyHKCU / onlyHKLM write that hive
// only. True on success. Both flags set fail the internal assertion
// "OnlyHKCU + OnlyHKLM are not allowed".
bool WriteRegString(const std::string& name, const std::string& value, const std::string& key = {},
                    bool onlyHKCU = false, bool onlyHKLM = false);

// Completes `key` with the root when empty and moves a sub-path of `name`
// into `key`: (K, "a\b\c") gives (K\a\b, "c"); (K, "\c") gives (K, "c"). The
// split stops at the first empty component: "a\\b" gives the name "a".
void ResolveRegPath(std::string& key, std::string& name);

// One read attempt in one hive: true and the text when the value exists and
// is readable as a string; false (value "") for every failure.
bool TryReadRegString(THive hive, const std::string& key, const std::string& name,
                      std::string& value);

}  // namespace km
