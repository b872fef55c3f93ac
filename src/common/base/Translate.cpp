#include "common/base/Translate.h"

#include <libintl.h>

namespace km {

std::string Tr(const std::string& msgid) {
    if (msgid.empty()) {
        return msgid;  // gettext("") answers the catalogue's header
    }
    return dgettext(kTextDomain, msgid.c_str());
}

void BindMessageCatalogue(const std::string& localeDir) {
    bindtextdomain(kTextDomain, localeDir.c_str());
    bind_textdomain_codeset(kTextDomain, "UTF-8");
}

}  // namespace km
