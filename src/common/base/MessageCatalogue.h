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
// domain. The messages locale follows the environment (LC_ALL, LC_MESSAGES,
// LANG) like any program's; where the locale it names is not generated on
// this machine, or none is named, the locale is "C.UTF-8" and the named
// language (en_US gives "en_US:en") becomes LANGUAGE, unless that is set:
// LANG=en_US.UTF-8 gives English with or without the locale. Call on the
// main thread, after whatever sets the locale from the environment (a
// QApplication does in its constructor).
void InitMessageCatalogue();

}  // namespace km
