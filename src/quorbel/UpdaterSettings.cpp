#include "quorbel/UpdaterSettings.h"

namespace qb {

int64_t DefaultMaxPackageBytes() {
    return QB_MAX_PACKAGE_BYTES;
}

}  // namespace qb
