#pragma once

// The message catalogue: German texts are the keys and are shown when no
// catalogue applies.

#include <initializer_list>
#include <string>

namespace km {

// The text domain of the program's catalogues.
inline constexpr const char* kTextDomain = "qbonlineupdater";

// The catalogue's translation of msgid, or msgid itself.
std::string Tr(const std::string& msgid);

// Tr(msgid) with each "%s" replaced by the next of args, in order (a
// translation may not reorder them).
std::string TrArgs(const std::string& msgid, std::initializer_list<std::string> args);

// Marks msgid for the catalogue where the text is translated later, as the
// window does with its widgets' texts when it is made.
constexpr const char* TrNoop(const char* msgid) {
    return msgid;
}

// Makes the catalogues below localeDir (<dir>/<lang>/LC_MESSAGES/<domain>.mo)
// the ones Tr() consults; their texts come back as UTF-8.
void BindMessageCatalogue(const std::string& localeDir);

}  // namespace km
