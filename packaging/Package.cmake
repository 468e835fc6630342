# The Debian package, made from the normal build folder with `cpack -G DEB` (or the
# `package` target). Its libraries' packages are asked of Debian (dpkg-shlibdeps), so
# they follow whatever the programs link.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quorvane)
set(CPACK_PACKAGE_VENDOR "Halvorn")
set(CPACK_PACKAGE_CONTACT "Quorvane developers <quorvane@halvorn.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "watches web sites, mail and news on a schedule")
set(CPACK_PACKAGE_DESCRIPTION
  "Quorvane watches Internet sources on a schedule and tells you what it\n\
found: web sites that change, new mail in a POP3 box (forwarded, copied,\n\
faxed, paged), newsgroup articles that match keywords, documents kept fresh\n\
for a ticker display, and the clock set from a time service. It sits in the\n\
tray, or runs without a window as a systemd user service, and reports\n\
through an activity log, desktop notifications and result e-mails.")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
# A package for Debian installs below /usr whatever prefix the build was configured with.
# The install runs with DESTDIR set and that prefix as CMAKE_INSTALL_PREFIX, so that what is
# written at install time (the systemd unit) names /usr/bin, not the staging folder.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Loaded at run time, never linked, so the shared-library scan cannot see them: the icons
# are SVG (Qt's plug-in draws them; without it every icon of the window and the tray is
# blank), and the keyring library reaches the Secret Service through libsecret, without
# which passwords could never leave the settings store.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libqt6svg6, libsecret-1-0")
# Links and addresses open in the user's browser through xdg-open; secure connections
# check the system's authorities.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "xdg-utils, ca-certificates")
# Only for the events that use them: faxes (sendfax) and dial-up connections (nmcli).
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "hylafax-client, network-manager")
include(CPack)
