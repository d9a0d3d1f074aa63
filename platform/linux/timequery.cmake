# The remote time query on Linux: Samba's libnetapi, called in a helper
# process per query so that a hung query can be killed.
find_package(PkgConfig REQUIRED)
pkg_check_modules(NETAPI REQUIRED IMPORTED_TARGET netapi)
# set_dyn_CONFIGFILE, which chooses the smb.conf that libnetapi loads, lives
# in Samba's utility library.
find_library(SAMBA_UTIL_LIBRARY NAMES samba-util libsamba-util.so.0 REQUIRED)

add_library(skewmon_timequery STATIC
  ${CMAKE_CURRENT_LIST_DIR}/netapi_clock.cpp
  ${CMAKE_CURRENT_LIST_DIR}/process_query_runner.cpp
  ${CMAKE_CURRENT_LIST_DIR}/smb2_negotiate.cpp
  ${CMAKE_CURRENT_LIST_DIR}/smb2_negotiate_clock.cpp)
target_link_libraries(skewmon_timequery PUBLIC skewmon_linux PRIVATE PkgConfig::NETAPI ${SAMBA_UTIL_LIBRARY})

# The helper: one query, its Offset on standard output. It lands beside the
# program, where ProcessQueryRunner looks for it by default.
add_executable(skewmon-tod ${CMAKE_CURRENT_LIST_DIR}/tod_helper_main.cpp)
target_link_libraries(skewmon-tod PRIVATE skewmon_timequery)
install(TARGETS skewmon-tod RUNTIME DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/skewmon)
