# The Debian packages of the installed tree, made by cpack -G DEB (scripts/
# package builds and packs): the practice package "qbonlineupdater" (the
# window, qbupdate, qbreg, catalogues, desktop entry, systemd units) and the
# vendor package "qbpublish", which practices do not need. Their dependencies
# come from the binaries (dpkg-shlibdeps); installing enables nothing, removing
# disables the timer.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME qbonlineupdater)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Kelmirath")
set(CPACK_PACKAGE_CONTACT "Kelmirath Software <packages@kelmirath.de>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL practice vendor)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_PRACTICE_PACKAGE_NAME qbonlineupdater)
set(CPACK_DEBIAN_PRACTICE_PACKAGE_SECTION admin)
set(CPACK_COMPONENT_PRACTICE_DESCRIPTION
    "online updater of the Quorbel practice software\n\
Fetches the vendor's update descriptor and installs every newer package of\n\
the practice software: a window for the person at the desk, qbupdate and a\n\
systemd timer for unattended updates, and qbreg for the settings store.")
set(CPACK_DEBIAN_PRACTICE_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/data/debian/postinst
    ${PROJECT_SOURCE_DIR}/data/debian/prerm
    ${PROJECT_SOURCE_DIR}/data/debian/postrm)

set(CPACK_DEBIAN_VENDOR_PACKAGE_NAME qbpublish)
set(CPACK_DEBIAN_VENDOR_PACKAGE_SECTION devel)
set(CPACK_COMPONENT_VENDOR_DESCRIPTION
    "publisher of Quorbel practice software releases\n\
Turns a folder per update type into the project folder of a configuration\n\
server, signs it, checks a published folder and makes signing keys: the\n\
vendor's tool, which practices do not need.")
include(CPack)
