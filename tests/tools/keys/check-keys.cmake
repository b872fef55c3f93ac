# Runs the build's reading of QB_UPDATE_PUBLIC_KEYS on the forms a vendor
# meets: the raw key qbpublish prints, the SubjectPublicKeyInfo openssl
# prints, several keys, and what must be refused.
# Usage: cmake -DMODULE_DIR=<cmake folder> -P check-keys.cmake
list(APPEND CMAKE_MODULE_PATH "${MODULE_DIR}")
include(QbPublicKeys)
set(raw "Dsrt4Zdw7pTFQPiOX5WNE3P9s6PJ/0Sn0YbO+m9pW6I=")
qb_normalize_public_keys(out "${raw}")
if(NOT out STREQUAL "${raw}")
  message(FATAL_ERROR "raw key: ${out}")
endif()
qb_normalize_public_keys(out "MCowBQYDK2VwAyEA${raw};${raw}")
if(NOT out STREQUAL "${raw};${raw}")
  message(FATAL_ERROR "SPKI key: ${out}")
endif()
message(STATUS "keys read as the build reads them")
