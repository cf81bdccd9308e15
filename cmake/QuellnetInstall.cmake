# Installing the program and packaging it for Debian.
#
#   <prefix>/bin/quellnet                                  the program
#   <prefix>/lib/quellnet/com.quellnet.macos.helper        the helper it ships, and installs as root
#   <prefix>/share/quellnet/                               images, client.up, client.down, service template
#   <prefix>/share/quellnet/translations                   the German and English catalogues
#   <prefix>/share/applications, share/icons/hicolor       desktop entry and icons (SVG, 48 and 256 px)
#   <prefix>/share/metainfo                                AppStream metadata for software centres
#   <prefix>/share/polkit-1/actions                        the action pkexec shows for the install step
#   <prefix>/share/man/man1/quellnet.1.gz                  the manual page
#   <prefix>/share/doc/quellnet                            copyright and changelog
#
# The data files' rules are in resources/. bin/, lib/quellnet and share/quellnet are fixed: the
# program finds its files relative to its own executable, as it does in the build tree.

if(QUELLNET_BUILD_GUI)
    install(TARGETS quellnet RUNTIME DESTINATION bin)
endif()
install(TARGETS quellnet_helper RUNTIME DESTINATION lib/quellnet)

# Debian wants the changelog and the manual page compressed, without a time stamp in the header.
set(quellnet_packaging "${PROJECT_SOURCE_DIR}/packaging")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
    "${quellnet_packaging}/changelog" "${quellnet_packaging}/quellnet.1")
file(MAKE_DIRECTORY "${CMAKE_BINARY_DIR}/packaging")
foreach(pair "changelog;changelog.gz" "quellnet.1;quellnet.1.gz")
    list(GET pair 0 plain)
    list(GET pair 1 packed)
    execute_process(COMMAND gzip -9 -n -c "${quellnet_packaging}/${plain}"
        OUTPUT_FILE "${CMAKE_BINARY_DIR}/packaging/${packed}" COMMAND_ERROR_IS_FATAL ANY)
endforeach()
install(FILES "${CMAKE_BINARY_DIR}/packaging/quellnet.1.gz" DESTINATION "${CMAKE_INSTALL_MANDIR}/man1")
install(FILES "${quellnet_packaging}/copyright" "${CMAKE_BINARY_DIR}/packaging/changelog.gz"
    DESTINATION "${CMAKE_INSTALL_DOCDIR}")

# cpack -G DEB in the build folder: quellnet_<version>_<arch>.deb.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quellnet)
set(CPACK_PACKAGE_VENDOR Quellnet)
set(CPACK_PACKAGE_CONTACT "Quellnet <support@quellnet.ch>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "desktop client for the Quellnet VPN")
# Lines of at most 80 characters, as Debian asks.
set(CPACK_PACKAGE_DESCRIPTION "Sign in with your Quellnet account and connect with one click, from a
small window or the tray. The tunnel is run by OpenVPN through a small helper
service, which the client installs with the administrator's permission when it
is first started; removing the package stops it, purging removes it.

The password can be remembered in the desktop's keyring. The texts are German
or English, following the desktop's language.")
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
# libsecret is loaded by qtkeychain at run time, so dpkg-shlibdeps cannot see it.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "openvpn (>= 2.6), pkexec, polkitd, systemd, libsecret-1-0")
# The DNS leak protection pins the tunnel's DNS servers through resolvectl (systemd-resolved), or
# through resolvconf where that manages resolv.conf. Any one of them will do, so a machine that
# already has resolvconf or openresolv keeps its setup; elsewhere systemd-resolved comes first:
# it gives the tunnel's link its own DNS servers and routing domain, which resolvconf cannot.
# Qt's own texts (context menus, standard buttons) in German or English come from
# qt6-translations-l10n.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "systemd-resolved | resolvconf | openresolv, qt6-translations-l10n")
# Removing the package stops and disables the helper service the program installed; purging it
# removes the helper's files.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA "${quellnet_packaging}/prerm;${quellnet_packaging}/postrm")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
