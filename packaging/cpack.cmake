# Debian packages from the build: quilmar, tapwarden and quilmar-server.
# scripts/package.sh builds them into dist/.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quilmar)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Quilmar developers")
set(CPACK_PACKAGE_CONTACT "Seed 95911092 maintainers <maintainers@users.noreply.c-seed-95911092.example>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL client tapwarden server)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# Version-release: the build's QUILMAR_VERSION.
set(CPACK_DEBIAN_PACKAGE_RELEASE ${QUILMAR_RELEASE})
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Library dependencies come from dpkg-shlibdeps.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(pkg "${PROJECT_SOURCE_DIR}/packaging/debian")

set(CPACK_DEBIAN_CLIENT_PACKAGE_NAME quilmar)
set(CPACK_DEBIAN_CLIENT_PACKAGE_RECOMMENDS tapwarden)
set(CPACK_DEBIAN_CLIENT_PACKAGE_CONTROL_EXTRA "${pkg}/quilmar/postinst")
set(CPACK_COMPONENT_CLIENT_DESCRIPTION
  "zero-configuration virtual private network client
Quilmar is a zero-configuration virtual private network. One daemon per
user logs in to a mediation server, receives a virtual IPv4 address and
reaches the other members of its networks directly, over encrypted UDP
tunnels.
.
This package holds the daemon and its command-line control client
(quilmar), quilmar-init, a systemd user unit and bash completion.")

set(CPACK_DEBIAN_TAPWARDEN_PACKAGE_NAME tapwarden)
set(CPACK_DEBIAN_TAPWARDEN_PACKAGE_DEPENDS adduser)
set(CPACK_DEBIAN_TAPWARDEN_PACKAGE_CONTROL_EXTRA
  "${pkg}/tapwarden/postinst;${pkg}/tapwarden/prerm;${pkg}/tapwarden/postrm;${pkg}/tapwarden/conffiles")
set(CPACK_COMPONENT_TAPWARDEN_DESCRIPTION
  "tap interface helper for Quilmar
tapwarden runs as root and creates a tap interface for each Quilmar daemon
that connects to its socket, then assigns the virtual address the daemon
asks for. The service lets members of the system group quilmar connect.")

set(CPACK_DEBIAN_SERVER_PACKAGE_NAME quilmar-server)
set(CPACK_DEBIAN_SERVER_PACKAGE_DEPENDS adduser)
set(CPACK_DEBIAN_SERVER_PACKAGE_CONTROL_EXTRA
  "${pkg}/quilmar-server/postinst;${pkg}/quilmar-server/prerm;${pkg}/quilmar-server/postrm;${pkg}/quilmar-server/conffiles")
set(CPACK_COMPONENT_SERVER_DESCRIPTION
  "Quilmar mediation server
quilmar-server enrols and authenticates Quilmar clients, keeps networks,
members and passwords in an SQLite store, and introduces the online members
of a network to each other. Traffic between clients never passes through
it. The service runs it as the system user quilmar-server with its data in
/var/lib/quilmar-server.")

include(CPack)
