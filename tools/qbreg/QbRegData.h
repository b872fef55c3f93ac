#pragma once

// Value types and data as qbreg's command line writes them and its output
// shows them.

#include <optional>
#include <string>
#include <string_view>

#include "common/registry/RegistryStore.h"

namespace qbreg {

// "REG_SZ", ... for the known types, "0x<n>" otherwise.
std::string TypeName(km::TRegType type);
// The type for a name in any letter case; nullopt for an unknown one.
std::optional<km::TRegType> TypeFromName(std::string_view name);

// The stored data for a /d argument of the given type:
//   REG_SZ, REG_EXPAND_SZ  the text as it stands;
//   REG_DWORD, REG_QWORD   a decimal number or 0x followed by hex digits,
//                          within the type's range ("" is 0);
//   REG_MULTI_SZ           strings separated by `separator` ("\0", two
//                          characters, by default); one trailing separator
//                          is allowed, an empty string in between is not;
//   REG_BINARY, REG_NONE   an even number of hex digits.
// nullopt, with the reason in `error`, for data the type cannot take.
std::optional<std::string> ParseData(km::TRegType type, std::string_view text,
                                     std::string_view separator, std::string& error);

// The data as query shows it: text; 0x-hex numbers; multi-strings joined by
// "\0"; bytes as upper-case hex digits.
std::string FormatData(const km::TRegValue& value);

}  // namespace qbreg
