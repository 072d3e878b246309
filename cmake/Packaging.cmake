# SPDX-License-Identifier: MIT
# Debian packages through CPack's DEB generator, one per install component:
#
#   component  package                  what
#   plugin     liborva-cb-storagelink   the plug-in, below lib/.../orva/workers
#   runtime    liborva-api0             the host stand-in liborva_api.so.0
#   dev        liborva-api-dev          headers, .so link, OrvaApi CMake package,
#                                       orva-api.pc
#   tools      orva-host                orva-host, its man page, example logging
#   automount  orva-automount           orva-automount, its udev rule, systemd
#                                       units, tmpfiles.d line and
#                                       /etc/default file
#
# Every package holding ELF files gets a -dbgsym package with their debug
# information; the files in the package itself are stripped. scripts/package.sh
# configures a build for /usr and runs cpack; these settings only say what the
# packages are.

set(ORVA_DEB_SOURCE orva-storagelink)
set(ORVA_DEB_MAINTAINER "orva-storagelink maintainers <maintainers@orva-storagelink.example>"
  CACHE STRING "Maintainer field of the Debian packages and their changelog")
# A package of the real host framework can provide this to satisfy the plug-in
# in place of the stand-in.
set(ORVA_API_ABI_PACKAGE liborva-api-abi-0)

set(ORVA_COMPONENTS plugin runtime dev tools automount)
set(ORVA_PACKAGE_plugin liborva-cb-storagelink)
set(ORVA_PACKAGE_runtime liborva-api0)
set(ORVA_PACKAGE_dev liborva-api-dev)
set(ORVA_PACKAGE_tools orva-host)
set(ORVA_PACKAGE_automount orva-automount)

# --- /usr/share/doc/<package>: copyright and changelog ----------------------

# The copyright file in Debian's machine-readable form, made from LICENSE so
# that the terms are written once.
file(READ ${PROJECT_SOURCE_DIR}/LICENSE license)
if(NOT license MATCHES "Copyright \\(c\\) ([^\n]+)\n+(Permission is hereby granted.*)$")
  message(FATAL_ERROR "LICENSE: no MIT copyright line and permission notice found")
endif()
set(copyright_holders "${CMAKE_MATCH_1}")
string(STRIP "${CMAKE_MATCH_2}" license_text)
# Continuation lines start with a space; an empty line is a " ." line.
string(REGEX REPLACE "\n\n" "\n.\n" license_text "${license_text}")
string(REPLACE "\n" "\n " license_text "${license_text}")
set(ORVA_DEB_COPYRIGHT ${PROJECT_BINARY_DIR}/packaging/copyright)
file(WRITE ${ORVA_DEB_COPYRIGHT}.tmp
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: ${ORVA_DEB_SOURCE}
Upstream-Contact: ${ORVA_DEB_MAINTAINER}

Files: *
Copyright: ${copyright_holders}
License: Expat

License: Expat
 ${license_text}
")
# Rewritten only when it changes, so that a reconfigure rebuilds nothing.
configure_file(${ORVA_DEB_COPYRIGHT}.tmp ${ORVA_DEB_COPYRIGHT} COPYONLY)

# The Debian changelog, from CHANGELOG.md. Its generation fails when
# CHANGELOG.md has no section for the project version.
set(ORVA_DEB_CHANGELOG ${PROJECT_BINARY_DIR}/packaging/changelog)
add_custom_command(OUTPUT ${ORVA_DEB_CHANGELOG}
  COMMAND ${CMAKE_COMMAND}
    -DCHANGELOG=${PROJECT_SOURCE_DIR}/CHANGELOG.md
    -DVERSION=${PROJECT_VERSION}
    -DSOURCE=${ORVA_DEB_SOURCE}
    -DMAINTAINER=${ORVA_DEB_MAINTAINER}
    -DOUTPUT=${ORVA_DEB_CHANGELOG}
    -P ${PROJECT_SOURCE_DIR}/cmake/DebianChangelog.cmake
  DEPENDS ${PROJECT_SOURCE_DIR}/CHANGELOG.md ${PROJECT_SOURCE_DIR}/cmake/DebianChangelog.cmake
  COMMENT "Debian changelog from CHANGELOG.md"
  VERBATIM)
# The packages are native (no Debian revision): the changelog is changelog.gz.
orva_gzip(orva-deb-changelog ${ORVA_DEB_CHANGELOG} ${ORVA_DEB_CHANGELOG}.gz)

foreach(component IN LISTS ORVA_COMPONENTS)
  install(FILES ${ORVA_DEB_COPYRIGHT} ${ORVA_DEB_CHANGELOG}.gz
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${ORVA_PACKAGE_${component}}
    COMPONENT ${component})
endforeach()

# --- CPack -------------------------------------------------------------------

# Debian's name for the target architecture (amd64, arm64), from the
# multiarch triplet that the compiler or the toolchain file gives.
if(NOT ORVA_DEB_ARCHITECTURE)
  set(arch_query dpkg-architecture -qDEB_HOST_ARCH)
  if(CMAKE_LIBRARY_ARCHITECTURE)
    list(APPEND arch_query -t${CMAKE_LIBRARY_ARCHITECTURE})
  endif()
  execute_process(COMMAND ${arch_query}
    OUTPUT_VARIABLE ORVA_DEB_ARCHITECTURE OUTPUT_STRIP_TRAILING_WHITESPACE
    ERROR_QUIET RESULT_VARIABLE failed)
  if(failed)
    set(ORVA_DEB_ARCHITECTURE "")
  endif()
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${ORVA_DEB_SOURCE})
set(CPACK_PACKAGE_VENDOR "The orva-storagelink authors")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${ORVA_DEB_MAINTAINER})
# No CPACK_PACKAGE_DESCRIPTION_SUMMARY (nor a project DESCRIPTION, its
# default): CPack would put it before the summary line of every package.
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ${ORVA_COMPONENTS})
# <package>_<version>_<architecture>.deb
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
if(ORVA_DEB_ARCHITECTURE)
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${ORVA_DEB_ARCHITECTURE})
endif()
set(CPACK_DEBIAN_PACKAGE_SOURCE ${ORVA_DEB_SOURCE})
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# Dependencies from the shared libraries (dpkg-shlibdeps). liborva_api.so.0
# comes from this same build and belongs to no installed package yet: the
# build tree's copy lets dpkg-shlibdeps read it, and the dependency on it is
# spelt out below.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_LIBRARY_OUTPUT_DIRECTORY})
# A shlibs file for liborva-api0, so that packages built against it get
# their dependency on it from dpkg-shlibdeps.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")

# -dbgsym packages: debug information split off by build ID, binaries
# stripped. The target's binutils, which a cross build has found.
set(CPACK_DEBIAN_DEBUGINFO_PACKAGE ON)
if(CMAKE_OBJCOPY)
  set(CPACK_OBJCOPY_EXECUTABLE ${CMAKE_OBJCOPY})
endif()
if(CMAKE_READELF)
  set(CPACK_READELF_EXECUTABLE ${CMAKE_READELF})
endif()

set(CPACK_DEBIAN_PLUGIN_PACKAGE_NAME ${ORVA_PACKAGE_plugin})
set(CPACK_DEBIAN_PLUGIN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PLUGIN_PACKAGE_DEPENDS
  "${ORVA_PACKAGE_runtime} (>= ${PROJECT_VERSION}) | ${ORVA_API_ABI_PACKAGE}")
set(CPACK_DEBIAN_PLUGIN_DESCRIPTION "storage link worker plug-in for liborva_api hosts
The worker CMStorageLinkWorker watches one directory, where an automounter
makes one subdirectory per attached storage device, and publishes one link
node and one list row per subdirectory whose name starts with a configured
prefix. While a device appears it shows a short-lived notification row,
Attaching new device....

The host loads it from /usr/lib/<triplet>/orva/workers and finds its factory
worker_create by name.")

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${ORVA_PACKAGE_runtime})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_PROVIDES ${ORVA_API_ABI_PACKAGE})
# ldconfig through libc's trigger, as Debian wants it.
file(WRITE ${PROJECT_BINARY_DIR}/packaging/runtime/triggers "activate-noawait ldconfig\n")
# The symbols file, the version that first had each symbol, which
# dpkg-shlibdeps prefers to the shlibs file: scripts/package.sh makes it with
# dpkg-gensymbols from host/abi/liborva-api0.symbols after the build, and
# fails when the library's symbols and that list part.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/packaging/runtime/triggers
  ${PROJECT_BINARY_DIR}/packaging/runtime/symbols)
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "node-tree host framework library (stand-in)
liborva_api.so.0 stands in for the closed host framework liborva_api: the
worker base classes, the node registry and node types, paths, translatable
strings and the plug-in loader, enough to host worker plug-ins outside the
host application.

Leave it out where the real host framework is installed.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME ${ORVA_PACKAGE_dev})
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "${ORVA_PACKAGE_runtime} (= ${PROJECT_VERSION}), qtbase5-dev")
set(CPACK_DEBIAN_DEV_DESCRIPTION "node-tree host framework library (stand-in) - development files
Headers, the CMake package OrvaApi (find_package(OrvaApi 0.2) gives the
target Orva::Api) and the pkg-config file orva-api.pc, for building worker
plug-ins against liborva_api.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME ${ORVA_PACKAGE_tools})
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
# orva-host uses the stand-in's plug-in loader, not just the worker interface.
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "${ORVA_PACKAGE_runtime} (>= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_TOOLS_PACKAGE_RECOMMENDS ${ORVA_PACKAGE_plugin})
set(CPACK_DEBIAN_TOOLS_DESCRIPTION "command-line host for liborva_api worker plug-ins
orva-host loads a worker plug-in as the host application does, passes it a
configuration and shows its node tree and log as they change, as text or as
newline-delimited JSON. orva-host --demo plays a scripted scenario with the
storage link worker.")

set(CPACK_DEBIAN_AUTOMOUNT_PACKAGE_NAME ${ORVA_PACKAGE_automount})
set(CPACK_DEBIAN_AUTOMOUNT_PACKAGE_SECTION admin)
# A compiled program: built for each architecture, its library dependencies
# (libblkid1, libmount1, libudev1, libsystemd0) found by dpkg-shlibdeps.
set(CPACK_DEBIAN_AUTOMOUNT_PACKAGE_RECOMMENDS "udev, systemd")
# ntfs-3g mounts NTFS where the kernel has no ntfs3 (Debian 12's has not).
set(CPACK_DEBIAN_AUTOMOUNT_PACKAGE_SUGGESTS "${ORVA_PACKAGE_plugin}, ntfs-3g")
# The configuration is the integrator's: an upgrade keeps their changes.
file(WRITE ${PROJECT_BINARY_DIR}/packaging/automount/conffiles
  "${CMAKE_INSTALL_FULL_SYSCONFDIR}/default/orva-automount\n")
# postinst makes the watched directory (tmpfiles.d) at once, enables the
# service, marks the devices that are in with the udev rule and (re)starts
# the service; prerm stops it and takes its devices away when the package is
# removed; postrm masks it on removal and forgets it on purge, as debhelper's
# scripts do.
set(CPACK_DEBIAN_AUTOMOUNT_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/packaging/automount/conffiles
  ${PROJECT_SOURCE_DIR}/automount/postinst ${PROJECT_SOURCE_DIR}/automount/prerm
  ${PROJECT_SOURCE_DIR}/automount/postrm)
set(CPACK_DEBIAN_AUTOMOUNT_DESCRIPTION "automounter that feeds the storage link worker
orva-automount mounts each file system that udev reports on removable media
(USB mass storage, SD cards) on a directory of its own in the directory that
the storage link worker watches, confined (nosuid, nodev, noexec,
nosymfollow), and writes the device's label beside it, encoded as blkid
encodes it. A udev rule marks such devices; the service
orva-automount.service mounts each from udev's event and takes it away when
the device goes.")

include(CPack)
