# A key the build must refuse (the configuration stops).
# Usage: cmake -DMODULE_DIR=<cmake folder> -DKEY=<text> -P refuse-key.cmake
list(APPEND CMAKE_MODULE_PATH "${MODULE_DIR}")
include(QbPublicKeys)
qb_normalize_public_keys(out "${KEY}")
