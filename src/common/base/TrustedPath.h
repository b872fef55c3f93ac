#pragma once

// Folders named by the environment (TMPDIR, HOME, XDG_CONFIG_HOME,
// KM_REGISTRY_DIR) count only where no other account could have put them
// there. A process of root started with a user's environment (sudo -E
// keeps it) would otherwise write where that user chose, or read settings
// that user wrote.

#include <optional>
#include <string>

namespace km {

// Whether path (absolute) lies where only root and the running user can
// change anything: every existing component from "/" down, links resolved,
// belongs to root or the effective user and is writable by nobody else; a
// sticky folder (as /tmp) may be writable by others when it is a parent of
// what is used (parentOnly: path itself is such a parent). Components that
// do not exist yet do not count. why (when given) says what failed.
bool IsTrustedPath(const std::string& path, bool parentOnly, std::string* why = nullptr);

// The value of the environment variable name when it is set, absolute and
// trusted by IsTrustedPath; nothing otherwise. A value that is refused is
// written to the debug log once.
std::optional<std::string> TrustedEnvPath(const char* name, bool parentOnly = false);

// The running user's home folder from the password database ("/" when it has
// none).
std::string PasswordHomeDir();

}  // namespace km
