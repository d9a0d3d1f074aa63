# The remote time query on Linux: Samba's libnetapi, called in helper
# processes that serve one query after another and can be killed when one
# hangs.
find_package(PkgConfig REQUIRED)
pkg_check_modules(NETAPI REQUIRED IMPORTED_TARGET netapi)
# set_dyn_CONFIGFILE, which chooses the smb.conf that libnetapi loads, lives
# in Samba's utility library.
find_library(SAMBA_UTIL_LIBRARY NAMES samba-util libsamba-util.so.0 REQUIRED)
# Whether the credentials cache holds a usable ticket.
pkg_check_modules(KRB5 REQUIRED IMPORTED_TARGET krb5)

add_library(skewmon_timequery STATIC
  ${CMAKE_CURRENT_LIST_DIR}/process/process_query_runner.cpp
  ${CMAKE_CURRENT_LIST_DIR}/process/helper_zygote.cpp
  ${CMAKE_CURRENT_LIST_DIR}/network/connect_probe.cpp
  ${CMAKE_CURRENT_LIST_DIR}/network/reachability_runner.cpp
  ${CMAKE_CURRENT_LIST_DIR}/process/tod_protocol.cpp
  ${CMAKE_CURRENT_LIST_DIR}/samba/netapi_clock.cpp
  ${CMAKE_CURRENT_LIST_DIR}/samba/smb2_negotiate.cpp
  ${CMAKE_CURRENT_LIST_DIR}/samba/smb2_negotiate_clock.cpp)
target_link_libraries(skewmon_timequery PUBLIC skewmon_linux skewmon_child_process
  PRIVATE PkgConfig::NETAPI PkgConfig::KRB5 ${SAMBA_UTIL_LIBRARY})

# The helper: serves the program's queries (or measures one machine given on
# its command line). It lands beside the program in a build tree.
add_executable(skewmon-tod ${CMAKE_CURRENT_LIST_DIR}/tod_helper_main.cpp)
target_link_libraries(skewmon-tod PRIVATE skewmon_timequery)
install(TARGETS skewmon-tod RUNTIME DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/skewmon)
