#pragma once

// The message catalogue: German texts are the keys and are shown when no
// catalogue applies.

#include <string>

namespace km {

// The text domain of the program's catalogues.
inline constexpr const char* kTextDomain = "qbonlineupdater";

// The catalogue's translation of msgid, or msgid itself.
std::string Tr(const std::string& msgid);

// Makes the catalogues below localeDir (<dir>/<lang>/LC_MESSAGES/<domain>.mo)
// the ones Tr() consults; their texts come back as UTF-8.
void BindMessageCatalogue(const std::string& localeDir);

}  // namespace km
