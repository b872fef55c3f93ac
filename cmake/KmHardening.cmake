# The hardening a Debian maintainer expects of every binary: stack
# protection, fortified C library calls (where the code is optimised),
# position-independent executables and an immediately bound, read-only
# relocation table. Not with the sanitizers, which bring their own
# instrumentation.
include(CheckPIESupported)
check_pie_supported()
set(CMAKE_POSITION_INDEPENDENT_CODE ON)
add_compile_options(-fstack-protector-strong -fstack-clash-protection -fcf-protection
                    "$<$<NOT:$<CONFIG:Debug>>:-U_FORTIFY_SOURCE;-D_FORTIFY_SOURCE=2>")
add_link_options(-Wl,-z,relro -Wl,-z,now)
