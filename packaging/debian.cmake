# The Debian package, built by `cpack` (scripts/setup.sh package) from the install rules.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${VELLUMIX_PACKAGE_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Quirin Zeller")
set(CPACK_PACKAGE_CONTACT "Quirin Zeller <support@vellumix.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "screen hard copies from Tektronix TDS oscilloscopes over GPIB")
# Lines of at most 72 characters, as Debian's tools show them.
set(CPACK_PACKAGE_DESCRIPTION
    "Vellumix scans a GPIB (IEEE-488) bus, finds the Tektronix TDS
oscilloscope on it and fetches its screen hard copy: BMP (mono or
colour), TIFF, PNG or PCX (mono or colour), with the ink saver where the
model has one. The picture is written exactly as the scope sent it,
shown in the window when it is a BMP, and can be saved or opened in the
desktop's viewer.

The command-line tool vellumix-cli lists the instruments on the bus,
sends them queries and takes series of hard copies from scripts.

A real bus needs an NI-488.2 compatible driver library such as
linux-gpib's, loaded at run time. A built-in simulated scope (--bus sim)
needs no hardware.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/package)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "http://www.vellumix.org/dl/Vellumix.htm")
# The Qt runtime libraries, computed by dpkg-shlibdeps from what the programs link.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Loaded by Qt at run time, so dpkg-shlibdeps cannot see it, and without it the window cannot
# open: the platform plugins (X11, and Wayland through XWayland).
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins")
# xdg-open: opening hard copies in the desktop's viewer, the e-mail link, the home page. Qt's TIFF
# plugin: a TIFF hard copy decoded for the clipboard (Copy Hard Copy); without it that copy says it
# cannot, everything else works.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "xdg-utils, qt6-image-formats-plugins")
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS OFF)

include(CPack)
