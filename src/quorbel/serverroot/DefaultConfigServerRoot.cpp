// The configuration server root fixed into a build. Compiled once per root
// (see CMakeLists.txt): the product build names the vendor's server, test and
// demo builds a loopback one.

#include "quorbel/ConfigUpdaterThread.h"

namespace qb {

std::string DefaultConfigServerRoot() {
    return QB_CONFIG_SERVER_ROOT;
}

}  // namespace qb
