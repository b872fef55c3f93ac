#include "common/base/Translate.h"

#include <libintl.h>

namespace km {

std::string Tr(const std::string& msgid) {
    if (msgid.empty()) {
        return msgid;  // gettext("") answers the catalogue's header
    }
    return dgettext(kTextDomain, msgid.c_str());
}

std::string TrArgs(const std::string& msgid, std::initializer_list<std::string> args) {
    const std::string pattern = Tr(msgid);
    std::string text;
    auto arg = args.begin();
    for (size_t i = 0; i < pattern.size(); ++i) {
        if (pattern.compare(i, 2, "%s") == 0 && arg != args.end()) {
            text += *arg++;
            ++i;
        } else {
            text += pattern[i];
        }
    }
    return text;
}

void BindMessageCatalogue(const std::string& localeDir) {
    bindtextdomain(kTextDomain, localeDir.c_str());
    bind_textdomain_codeset(kTextDomain, "UTF-8");
}

}  // namespace km
