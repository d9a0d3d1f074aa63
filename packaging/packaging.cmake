# Installing Skewmon as a Linux program, and its Debian package:
#   cmake --install BUILD [--prefix /usr/local]    or    cpack -G DEB (in BUILD)
# The program goes to bin/, its helpers to libexec/skewmon/ (the program finds
# them from its own path), with a desktop entry, the icon and a manual page.
include(GNUInstallDirs)

set(SKEWMON_VERSION_TEXT "5.2.b.20110601R")  # kAppVersion

install(FILES ${PROJECT_SOURCE_DIR}/packaging/skewmon.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
foreach(size 16 32 48 256)
  install(FILES ${PROJECT_SOURCE_DIR}/res/icons/hicolor/${size}x${size}/apps/skewmon.png
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps)
endforeach()

# Manual pages are installed compressed, the same bytes on every build.
find_program(GZIP_PROGRAM gzip REQUIRED)
set(SKEWMON_MAN_PAGE ${CMAKE_CURRENT_BINARY_DIR}/skewmon.1.gz)
add_custom_command(OUTPUT ${SKEWMON_MAN_PAGE}
  COMMAND ${GZIP_PROGRAM} -9 -n -c ${PROJECT_SOURCE_DIR}/docs/man/skewmon.1 > ${SKEWMON_MAN_PAGE}
  DEPENDS ${PROJECT_SOURCE_DIR}/docs/man/skewmon.1
  VERBATIM)
add_custom_target(skewmon_man ALL DEPENDS ${SKEWMON_MAN_PAGE})
install(FILES ${SKEWMON_MAN_PAGE} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME skewmon)
set(CPACK_PACKAGE_VENDOR "Quillmar")
set(CPACK_PACKAGE_VERSION ${SKEWMON_VERSION_TEXT})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "measures how far the clocks of a network's machines are from this one")
set(CPACK_PACKAGE_DESCRIPTION
    "Skewmon asks every machine of a LAN or Windows domain for its time of day\n\
with the LAN Manager remote time-of-day call, lists how far each clock is\n\
from the local one, and grades the network. It runs as a window or, with\n\
--report, as a console check for monitoring systems.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Skewmon developers <skewmon@quillmar.example>")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The dependencies are those of the libraries the executables link.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Save Results and the help link hand their file and address to the
# desktop's viewer through xdg-open; without it the report is still written.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS xdg-utils)
include(CPack)
