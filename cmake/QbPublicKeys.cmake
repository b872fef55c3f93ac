# The vendor's public keys as the build takes them (QB_UPDATE_PUBLIC_KEYS):
# each the base64 of the raw 32-byte Ed25519 key, as "qbpublish keygen" and
# "qbpublish pubkey" print it, or the base64 of the SubjectPublicKeyInfo that
# "openssl pkey -pubout -outform DER | base64" prints, whose last 44
# characters are the raw key's base64 (its 12-byte prefix is 16 characters).
# Anything else stops the configuration with what to run instead.

# qb_normalize_public_keys(<out-var> <keys>): the raw keys' base64, in order.
function(qb_normalize_public_keys out_var keys)
  set(raw_keys "")
  foreach(key IN LISTS keys)
    string(STRIP "${key}" key)
    if(key STREQUAL "")
      continue()
    endif()
    if(key MATCHES "^MCowBQYDK2VwAyEA([A-Za-z0-9+/]+=)$")
      set(key "${CMAKE_MATCH_1}")
    endif()
    string(LENGTH "${key}" length)
    if(NOT key MATCHES "^[A-Za-z0-9+/]+=$" OR NOT length EQUAL 44)
      message(FATAL_ERROR
        "QB_UPDATE_PUBLIC_KEYS: \"${key}\" is not an Ed25519 public key.\n"
        "Give the line that \"qbpublish pubkey KEY.pem\" prints (the key's 32 bytes in base64,\n"
        "44 characters ending in \"=\"), or what \"openssl pkey -in KEY.pem -pubout -outform DER |\n"
        "base64\" prints; separate several keys with \";\".")
    endif()
    list(APPEND raw_keys "${key}")
  endforeach()
  set(${out_var} "${raw_keys}" PARENT_SCOPE)
endfunction()
