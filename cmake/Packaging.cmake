# A Debian package of the installed tree: cpack -G DEB in the build folder.
# The dependencies come from the binaries (dpkg-shlibdeps); installing the
# package does not enable the timer.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME qbonlineupdater)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Kelmirath")
set(CPACK_PACKAGE_CONTACT "QbOnlineUpdater maintainers <maintainers@kelmirath.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "online updater of the Quorbel practice software")
set(CPACK_PACKAGE_DESCRIPTION
    "Fetches the vendor's update descriptor and installs every newer package\n"
    "of the practice software: a window for the person at the desk, qbupdate\n"
    "and a systemd timer for unattended updates.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
