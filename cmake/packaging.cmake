# Debian packages of the kit, made by CPack from the install rules' components
# (`./run.sh package`, or `cpack -G DEB` in a configured and built tree):
#   trevane       component runtime: trevane-broker, mqadmin, flowping, libcnibroker.so and
#                 libtrevanemq.so, the plug-in, the message catalogues, docs, example
#                 flows and manual pages;
#   trevane-dev   component dev: the public headers, the CMake package, the pkg-config files,
#                 quenor.o with the thread layer and the examples for plug-in authors; it
#                 depends on trevane of exactly its version.
# The packages always install under /usr. The installed tree finds its libraries, plug-in
# and catalogues relative to its programs, so a tree configured for another prefix packages
# just as well.

set(TREVANE_PACKAGE_MAINTAINER
    "Trevane maintainers <maintainers@users.noreply.c-seed-c3de5463.example>"
    CACHE STRING "Maintainer field of the Debian packages")
set(TREVANE_PACKAGE_RELEASE "1" CACHE STRING "Debian revision of the packages (the part after '-')")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME trevane)
set(CPACK_PACKAGE_VENDOR "Trevane")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${TREVANE_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# Programs and libraries go in without their symbol tables (debug builds included).
set(CPACK_STRIP_FILES ON)
# Packages only: no source package, and only the two components below.
set(CPACK_SOURCE_GENERATOR "")
set(CPACK_COMPONENTS_ALL runtime dev)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT) # NAME_VERSION-RELEASE_ARCH.deb
set(CPACK_DEBIAN_PACKAGE_RELEASE ${TREVANE_PACKAGE_RELEASE})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${TREVANE_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)

# Depends from the shared libraries the programs and libraries are actually linked with
# (dpkg-shlibdeps). libcnibroker and libtrevanemq are the package's own: dpkg-shlibdeps
# looks for them in the package's library folder (the programs' RUNPATH is relative,
# $ORIGIN/..., which it resolves in the package tree too), and the runtime package
# declares them in its shlibs file so that other packages' plug-ins can depend on it.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
include(GNUInstallDirs)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS "usr/${CMAKE_INSTALL_LIBDIR}")
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")

set(CPACK_COMPONENT_RUNTIME_DISPLAY_NAME "Programs, libraries and plug-in")
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION
    "Message-flow node kit: stand-in broker, queue manager and TrevaneNode
trevane-broker loads message-flow node plug-ins written against the broker
interface (cni.h) and runs flows of them between queues. The stand-in queue
manager (libtrevanemq, mqadmin) keeps its queues in SQLite or PostgreSQL, and
flowping sends a request and prints the reply. Included are the TrevaneNode
plug-in, which stores a database error's SQLSTATE in the message, its message
catalogues, a demonstration flow, the documentation and manual pages.")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME trevane)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION devel)
# The Database node reaches PostgreSQL through the driver manager's ODBC driver.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SUGGESTS "odbc-postgresql")

set(CPACK_COMPONENT_DEV_DISPLAY_NAME "Headers and build files for plug-in authors")
set(CPACK_COMPONENT_DEV_DESCRIPTION
    "Message-flow node kit: headers and build files for plug-in authors
The public C headers (trevane/cni.h, the queue manager's calls, the trace set-up
and the thread layer), the CMake package Trevane (find_package(Trevane), targets
Trevane::cni, Trevane::broker and Trevane::mq), the pkg-config files trevane-cni,
trevane-broker and trevane-mq, the trace set-up object quenor.o with the thread
layer, an example plug-in and a C program linking quenor.o. A plug-in built with
them runs in trevane-broker of the trevane package.")
set(CPACK_COMPONENT_DEV_DEPENDS runtime)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_DEBIAN_DEV_PACKAGE_NAME trevane-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_SUGGESTS "cmake, pkg-config, g++")

include(CPack)
