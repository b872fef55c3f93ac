// What a build fixes for its updates: the configuration server root and the
// archive passwords. Compiled once per root (see CMakeLists.txt): the product
// build names the vendor's server, test and demo builds a loopback one.

#include "quorbel/ConfigUpdaterThread.h"

namespace qb {

std::string DefaultConfigServerRoot() {
    return QB_CONFIG_SERVER_ROOT;
}

TArchivePasswordSource DefaultArchivePasswords() {
    return ArchivePasswordsFromHexList(QB_ARCHIVE_PASSWORDS_HEX);
}

}  // namespace qb
