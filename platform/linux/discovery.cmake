# Domain discovery on Linux: the security authority and the controller
# look-ups over Samba's libnetapi and client settings, the NetBIOS name
# service, the directory over OpenLDAP with Kerberos through SASL, and the
# browse list over libsmbclient in a helper process. libnetapi is set up once
# per process by the time query's NetapiContext(), which these share.
find_package(PkgConfig REQUIRED)
pkg_check_modules(SMBCLIENT REQUIRED IMPORTED_TARGET smbclient)
pkg_check_modules(LDAP REQUIRED IMPORTED_TARGET GLOBAL ldap)
find_library(SMBCONF_LIBRARY NAMES smbconf libsmbconf.so.0 REQUIRED)
find_library(LBER_LIBRARY NAMES lber REQUIRED)
find_path(SASL_INCLUDE_DIR sasl/sasl.h REQUIRED)

add_library(skewmon_discovery STATIC
  ${CMAKE_CURRENT_LIST_DIR}/discovery_services.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ldap/ldap_openldap.cpp
  ${CMAKE_CURRENT_LIST_DIR}/netbios/netbios_name_client.cpp
  ${CMAKE_CURRENT_LIST_DIR}/samba/lanman_domain.cpp
  ${CMAKE_CURRENT_LIST_DIR}/samba/lanman_settings.cpp
  ${CMAKE_CURRENT_LIST_DIR}/samba/lsa_netapi.cpp
  ${CMAKE_CURRENT_LIST_DIR}/samba/smbc_browse.cpp)
target_include_directories(skewmon_discovery PRIVATE ${SASL_INCLUDE_DIR})
target_link_libraries(skewmon_discovery
  PUBLIC skewmon_linux skewmon_timequery skewmon_child_process
  PRIVATE PkgConfig::SMBCLIENT PkgConfig::LDAP PkgConfig::NETAPI ${SMBCONF_LIBRARY} ${LBER_LIBRARY})

# The browse helper: libsmbclient in a process of its own (smbc_browse.h).
# It lands beside the program in a build tree and in libexec/skewmon/ when
# installed, where SmbcNetworkBrowser looks for it.
add_executable(skewmon-browse
  ${CMAKE_CURRENT_LIST_DIR}/browse_helper_main.cpp
  ${CMAKE_CURRENT_LIST_DIR}/samba/smbc_list.cpp)
target_link_libraries(skewmon-browse PRIVATE skewmon_discovery PkgConfig::SMBCLIENT)
install(TARGETS skewmon-browse RUNTIME DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/skewmon)
