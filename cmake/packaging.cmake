# Installation of the manual page and the Debian package.
#
#   cmake --install build --prefix /usr/local    installs ccdshot, ccdsim and ccdshot(1)
#   (cd build && cpack -G DEB)                    builds ccdshot_<version>_<arch>.deb
#
# The programs carry their own install rules (src/, sim/); this file adds the
# manual page and the package description.

install(FILES ${PROJECT_SOURCE_DIR}/doc/ccdshot.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

set(CCDSHOT_MAINTAINER "ccdshot maintainers <ccdshot-maintainers@example.org>"
    CACHE STRING "Maintainer named in the Debian package")

set(CPACK_PACKAGE_NAME ccdshot)
set(CPACK_PACKAGE_VENDOR ccdshot)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_DESCRIPTION
    "ccdshot takes one photograph with a monochrome astronomical CCD camera on a Linux character\
 device and stores it as a 16-bit TIFF or a FITS file. ccdsim, a simulated camera served\
 through FUSE, lets it be tried and scripted without hardware.")
set(CPACK_PACKAGE_CONTACT "${CCDSHOT_MAINTAINER}")
set(CPACK_RESOURCE_FILE_README ${PROJECT_SOURCE_DIR}/README.md)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CCDSHOT_MAINTAINER}")
# ccdshot needs libtiff and the C++ runtime; ccdsim needs libfuse3 and the
# fusermount3 helper of fuse3 to mount itself as a user.
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "libc6 (>= 2.35), libstdc++6 (>= 12), libgcc-s1 (>= 3.0), libtiff6 (>= 4.0.3), libfuse3-3 (>= 3.2.3), fuse3")

include(CPack)
