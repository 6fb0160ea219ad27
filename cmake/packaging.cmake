# Installation of the documentation and the shell completion, and the Debian
# package.
#
#   cmake --install build --prefix /usr/local    installs the programs, the manual pages,
#                                                 the completion and the licence
#   (cd build && cpack -G DEB)                    builds ccdshot_<version>_<arch>.deb
#
# The programs carry their own install rules (src/, sim/); this file adds the
# rest and the package description. Manual pages and the changelog are
# installed compressed with gzip -9n (no name, no time stamp: the same source
# gives the same bytes).

set(CCDSHOT_MAINTAINER "ccdshot maintainers <ccdshot-maintainers@example.org>"
    CACHE STRING "Maintainer named in the Debian package")

# --- Compressed manual pages and changelog ----------------------------------
# The changelog's latest entry is the version being built.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/doc/changelog)
file(STRINGS ${PROJECT_SOURCE_DIR}/doc/changelog latest_entry LIMIT_COUNT 1)
if(NOT latest_entry MATCHES "^ccdshot \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "doc/changelog does not begin with an entry for version ${PROJECT_VERSION}")
endif()
find_program(CCDSHOT_GZIP gzip REQUIRED)
set(doc_build ${PROJECT_BINARY_DIR}/doc)
set(compressed)
foreach(source doc/ccdshot.1 doc/ccdsim.1 doc/changelog)
  get_filename_component(name ${source} NAME)
  add_custom_command(
    OUTPUT ${doc_build}/${name}.gz
    COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/${source} ${doc_build}/${name}
    COMMAND ${CCDSHOT_GZIP} -9nf ${doc_build}/${name}
    DEPENDS ${PROJECT_SOURCE_DIR}/${source}
    COMMENT "Compressing ${name}"
    VERBATIM)
  list(APPEND compressed ${doc_build}/${name}.gz)
endforeach()
add_custom_target(compressed_docs ALL DEPENDS ${compressed})
install(FILES ${doc_build}/ccdshot.1.gz ${doc_build}/ccdsim.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# --- Machine-readable copyright, made from LICENSE --------------------------
# The licence text follows the License field, each line indented by one space
# and each empty line written as " .".
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/LICENSE)
file(READ ${PROJECT_SOURCE_DIR}/LICENSE licence)
if(NOT licence MATCHES "Copyright \\(c\\) ([^\n]+)\n\n(Permission .*[^\n])\n*$")
  message(FATAL_ERROR "LICENSE does not hold a copyright line and the permission notice")
endif()
set(CCDSHOT_COPYRIGHT "${CMAKE_MATCH_1}")
string(REPLACE "\n\n" "\n.\n" CCDSHOT_LICENSE_TEXT " ${CMAKE_MATCH_2}")
string(REPLACE "\n" "\n " CCDSHOT_LICENSE_TEXT "${CCDSHOT_LICENSE_TEXT}")
configure_file(${PROJECT_SOURCE_DIR}/cmake/copyright.in ${doc_build}/copyright @ONLY)
install(FILES ${doc_build}/copyright ${doc_build}/changelog.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})

# --- Bash completion --------------------------------------------------------
# Where bash-completion looks for completions loaded on demand: its pkg-config
# completionsdir, taken relative to its prefix so that it follows the install
# prefix (cmake --install --prefix, the package's /usr).
pkg_get_variable(BASH_COMPLETION_DIR bash-completion completionsdir)
pkg_get_variable(BASH_COMPLETION_PREFIX bash-completion prefix)
set(completions_dir ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
if(BASH_COMPLETION_DIR AND BASH_COMPLETION_PREFIX)
  string(FIND "${BASH_COMPLETION_DIR}" "${BASH_COMPLETION_PREFIX}/" at)
  if(at EQUAL 0)
    string(LENGTH "${BASH_COMPLETION_PREFIX}/" skip)
    string(SUBSTRING "${BASH_COMPLETION_DIR}" ${skip} -1 completions_dir)
  endif()
endif()
set(CCDSHOT_COMPLETIONS_DIR ${completions_dir} CACHE STRING
    "Directory of the bash completions, relative to the install prefix")
install(FILES completions/ccdshot completions/ccdsim DESTINATION ${CCDSHOT_COMPLETIONS_DIR})

# --- The Debian package -----------------------------------------------------
set(CPACK_PACKAGE_NAME ccdshot)
set(CPACK_PACKAGE_VENDOR ccdshot)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
# The extended description: lines within 80 columns.
set(CPACK_PACKAGE_DESCRIPTION
    "ccdshot takes one photograph with a monochrome astronomical CCD camera on a
Linux character device and stores it as a 16-bit TIFF or a FITS file.
ccdsim, a simulated camera served through FUSE, lets it be tried and
scripted without hardware.
.
Licence: MIT (Expat).")
set(CPACK_PACKAGE_CONTACT "${CCDSHOT_MAINTAINER}")
set(CPACK_RESOURCE_FILE_README ${PROJECT_SOURCE_DIR}/README.md)
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# Installed programs carry no debugging symbols, whatever the build type.
set(CPACK_STRIP_FILES TRUE)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# A cross build's package is for the target's architecture (named by the
# toolchain file), not for the build machine's that dpkg reports.
if(CCDSHOT_CROSS_DEBIAN_ARCH)
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${CCDSHOT_CROSS_DEBIAN_ARCH})
elseif(CMAKE_CROSSCOMPILING)
  message(WARNING "Cross build without CCDSHOT_CROSS_DEBIAN_ARCH: the package would name the build machine's architecture")
endif()
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CCDSHOT_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
# ccdshot needs libtiff and the C++ runtime; ccdsim needs libfuse3 and the
# fusermount3 helper of fuse3 to mount itself as a user.
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "libc6 (>= 2.35), libstdc++6 (>= 12), libgcc-s1 (>= 3.0), libtiff6 (>= 4.0.3), libfuse3-3 (>= 3.2.3), fuse3")

include(CPack)
