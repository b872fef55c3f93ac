#pragma once

// Makes the program's message catalogue ready for km::Tr.

#include <string>

namespace km {

// The folder that holds <lang>/LC_MESSAGES/qbonlineupdater.mo: the build
// tree's when the running program lies inside the build tree, otherwise the
// installed one.
std::string MessageCatalogueDir();

// Binds the text domain to MessageCatalogueDir() and makes it the default
// domain. glibc ignores LANGUAGE while the messages locale is "C"; with no
// LANG or LC_* set the locale stays "C", so it is then switched to
// "C.UTF-8", which behaves the same but lets LANGUAGE=en choose English.
// Call on the main thread after the QApplication exists (Qt sets the
// locale from the environment in its constructor).
void InitMessageCatalogue();

}  // namespace km
