# Warnings for our own targets only; third-party headers are included as
# system headers and stay out of it. The presets turn warnings into errors.
option(KM_WARNINGS_AS_ERRORS "Treat compiler warnings in our own targets as errors" OFF)

function(km_target_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic)
  if(KM_WARNINGS_AS_ERRORS)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()

# Collects the sources of one folder (not of its subfolders).
function(km_glob_sources out dir)
  file(GLOB found CONFIGURE_DEPENDS "${dir}/*.cpp")
  set(${out} ${found} PARENT_SCOPE)
endfunction()
