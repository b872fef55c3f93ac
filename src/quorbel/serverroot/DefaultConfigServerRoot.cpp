// What a build fixes for its updates: the configuration server root and the
// archive passwords. Compiled once per root (see CMakeLists.txt): the product
// build names the vendor's server, test and demo builds a loopback one.

#include "quorbel/ConfigUpdaterThread.h"

namespace qb {

std::string DefaultConfigServerRoot() {
    return QB_CONFIG_SERVER_ROOT;
}

std::vector<std::string> DefaultUpdatePublicKeys() {
    std::vector<std::string> keys;
    std::string_view list = QB_UPDATE_PUBLIC_KEYS_LIST;
    while (!list.empty()) {
        const size_t comma = list.find(',');
        keys.emplace_back(list.substr(0, comma));
        list = comma == std::string_view::npos ? std::string_view() : list.substr(comma + 1);
    }
    return keys;
}

TArchivePasswordSource DefaultArchivePasswords() {
    return ArchivePasswordsFromHexList(QB_ARCHIVE_PASSWORDS_HEX);
}

}  // namespace qb
