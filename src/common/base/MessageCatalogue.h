#pragma once

// Makes the program's message catalogue ready for km::Tr.

#include <string>
#include <vector>

namespace km {

// The folders that may hold <lang>/LC_MESSAGES/qbonlineupdater.mo, in the
// order they are tried: next to the running program's installation
// (<folder of the executable>/../share/locale, so an installed tree works
// wherever it was installed or moved to); the build tree's, when the running
// program lies inside the build tree; and the install prefix given when the
// program was built.
std::vector<std::string> MessageCatalogueCandidates();

// The first candidate that holds a catalogue of the program, else the
// compiled-in install folder.
std::string MessageCatalogueDir();

// Binds the text domain to MessageCatalogueDir() and makes it the default
// domain. glibc ignores LANGUAGE while the messages locale is "C"; with no
// LANG or LC_* set the locale stays "C", so it is then switched to
// "C.UTF-8", which behaves the same but lets LANGUAGE=en choose English.
// Call on the main thread, after whatever sets the locale from the
// environment (a QApplication does in its constructor).
void InitMessageCatalogue();

}  // namespace km
