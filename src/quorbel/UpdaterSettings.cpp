#include "quorbel/UpdaterSettings.h"

namespace qb {

int64_t DefaultMaxPackageBytes() {
    return QB_MAX_PACKAGE_BYTES;
}

std::string ProgramVersion() {
    return QB_VERSION;
}

}  // namespace qb
