#pragma once

// The passwords of protected package types. The vendor makes the packages on
// Windows, where the ZIP encryption uses the password's bytes in the 8-bit
// code page of the machine (windows-1252 for German): a password has to take
// that form here too, or "Passwört" would not open what it protected there.

#include <functional>
#include <string>
#include <string_view>

namespace qb {

// Yields the archive password of an update type's packages (UTF-8), empty
// when its packages are not protected. The vendor protects packages per type;
// the source is asked just before each type is handled.
using TArchivePasswordSource = std::function<std::string(const std::string& updateType)>;

// The code page the packages' passwords are written in (fixed into the build).
std::string ArchiveCodePage();

// password (UTF-8) in ArchiveCodePage(), as the ZIP encryption uses it.
// Throws km::Exception when the code page cannot write it.
std::string ArchivePasswordBytes(const std::string& password);

// A source over a list "type=hex,type=hex" (each password's UTF-8 bytes in
// hexadecimal, as the build passes them); types not named have no password.
TArchivePasswordSource ArchivePasswordsFromHexList(std::string_view list);

}  // namespace qb
