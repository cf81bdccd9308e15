# Installing the program and packaging it for Debian.
#
#   <prefix>/bin/quellnet                                  the program
#   <prefix>/lib/quellnet/com.quellnet.macos.helper        the helper it ships, and installs as root
#   <prefix>/share/quellnet/                               images, client.up, client.down, service template
#   <prefix>/share/applications, share/icons/hicolor       desktop entry and icon
#   <prefix>/share/polkit-1/actions                        the action pkexec shows for the install step
#
# The data files' rules are in resources/. bin/, lib/quellnet and share/quellnet are fixed: the
# program finds its files relative to its own executable, as it does in the build tree.

if(QUELLNET_BUILD_GUI)
    install(TARGETS quellnet RUNTIME DESTINATION bin)
endif()
install(TARGETS quellnet_helper RUNTIME DESTINATION lib/quellnet)

# cpack -G DEB in the build folder: quellnet_<version>_<arch>.deb.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quellnet)
set(CPACK_PACKAGE_VENDOR Quellnet)
set(CPACK_PACKAGE_CONTACT "Quellnet <support@quellnet.ch>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Quellnet VPN client")
set(CPACK_PACKAGE_DESCRIPTION
    "Desktop client for the Quellnet VPN: sign in with your Quellnet account and connect with one click. \
The tunnel is run by OpenVPN through a small helper service, which the client installs with the \
administrator's permission when it is first started.")
# The deb generator stages with DESTDIR, so the install rules see /usr as the prefix: the polkit
# action names /usr/lib/quellnet/..., not the staging folder.
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "${PROJECT_HOMEPAGE_URL}")
# The Qt libraries come from dpkg-shlibdeps; these are run, not linked: openvpn by the helper,
# pkexec and polkit for the install step, systemd for the helper's service.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "openvpn (>= 2.6), pkexec, polkitd, systemd")
include(CPack)
