# The Debian package. Library dependencies are found by dpkg-shlibdeps; the Qt plugins and the
# web engine's helper process are loaded at run time, and https downloads need the system's
# certificate store, so they are named here. libarchive and libsodium, which install pack
# updates, are linked and found by dpkg-shlibdeps; they are named as well so that the package
# says so even where the shared-library look-up is switched off.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME varimond)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Varimond developers <varimond@users.noreply.github.com>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Choose and install the options of a custom game interface")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Varimond shows the options of a custom user interface for an online game as a
tree, shows each option's ReadMe beside it, and installs the ticked options by
starting their install scripts.")
set(CPACK_DEBIAN_PACKAGE_SECTION games)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins, libqt6webenginecore6-bin, libqt6svg6, ca-certificates, libarchive13, libsodium23, bubblewrap")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "wine, xdg-utils, x-terminal-emulator")
set(CPACK_STRIP_FILES ON)
set(CPACK_OUTPUT_FILE_PREFIX ${CMAKE_BINARY_DIR})
include(CPack)
