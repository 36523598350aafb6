# `make package`: a Debian package of everything `cmake --install` installs, under /usr.
#
#   cmake --build --preset default --target programs man && (cd build/default && cpack)
#
# writes tallymere_<version>_<arch>.deb into the source tree's top folder. Depends comes from
# dpkg-shlibdeps over the two programs; cmake/package_stage.cmake fits the staged tree to
# Debian's conventions (compressed manual pages and changelog, the zsh function where Debian's
# zsh looks for packaged ones) before it is packed.
include(GNUInstallDirs)

set(package_doc_dir ${CMAKE_INSTALL_DATADIR}/doc/${PROJECT_NAME})
set(package_maintainer "The Tallymere developers <tallymere@example.org>")

# The licence as a machine-readable Debian copyright file: the text of LICENSE, indented, with
# its empty lines written as " .".
file(READ ${PROJECT_SOURCE_DIR}/LICENSE licence_text)
string(REGEX REPLACE "\n+$" "" licence_text "${licence_text}")
string(REGEX REPLACE "\n\n" "\n.\n" licence_text "${licence_text}")
string(REGEX REPLACE "\n" "\n " licence_text "${licence_text}")
string(REGEX MATCH "Copyright \\(c\\) ([^\n]*)" _ "${licence_text}")
set(licence_holder "${CMAKE_MATCH_1}")
string(REGEX REPLACE "^MIT License\n \\.\n " "" licence_body "${licence_text}")
file(WRITE ${PROJECT_BINARY_DIR}/package/copyright
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: Tallymere
Source: ${TALLYMERE_HOMEPAGE}

Files: *
Copyright: ${licence_holder}
License: Expat
 ${licence_body}
")
string(TIMESTAMP package_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
file(WRITE ${PROJECT_BINARY_DIR}/package/changelog
"${PROJECT_NAME} (${TALLYMERE_RELEASE}) unstable; urgency=medium

  * Release ${TALLYMERE_RELEASE}.

 -- ${package_maintainer}  ${package_date}
")
install(FILES ${PROJECT_BINARY_DIR}/package/copyright ${PROJECT_BINARY_DIR}/package/changelog
        DESTINATION ${package_doc_dir})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${PROJECT_NAME})
set(CPACK_PACKAGE_VERSION ${TALLYMERE_RELEASE})
set(CPACK_PACKAGE_VENDOR "The Tallymere developers")
set(CPACK_PACKAGE_CONTACT "${package_maintainer}")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_OUTPUT_FILE_PREFIX ${PROJECT_SOURCE_DIR})
set(CPACK_STRIP_FILES ON)
set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/package_stage.cmake)
# `make package` builds what the package holds itself, not the tests and benchmarks.
set(CMAKE_SKIP_PACKAGE_ALL_DEPENDENCY ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE ${TALLYMERE_HOMEPAGE})
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
"backup, restore and export of a phone's text and multimedia messages
Tallymere keeps a phone's SMS and MMS messages safe. It backs them up into
a compact binary archive, restores the messages that are no longer on the
phone into their old folders, exports every message as a text file with its
attachments beside it, and exports every newly arrived message on its own.
.
The package holds the desktop program tallymere, which waits in the system
tray, and the command-line program tallymere-cli for scripts and terminals,
with their manual pages and bash and zsh completion. Both work on a device
folder that stands for the phone's file system.")

include(CPack)
