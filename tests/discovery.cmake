# Domain discovery: the logic against scripted services, the Linux pieces
# that need no servers, and everything against the domain lab
# (tests/lab_domain/lab.sh), which runs as a ctest fixture.
add_executable(skewmon_discovery_tests ${CMAKE_CURRENT_LIST_DIR}/discovery/discovery_logic_test.cpp)
target_link_libraries(skewmon_discovery_tests PRIVATE skewmon_logic GTest::gtest_main)
target_include_directories(skewmon_discovery_tests PRIVATE ${PROJECT_SOURCE_DIR})
gtest_discover_tests(skewmon_discovery_tests DISCOVERY_TIMEOUT 60)

if(TARGET skewmon_discovery)
  add_executable(skewmon_discovery_platform_tests ${CMAKE_CURRENT_LIST_DIR}/linux/discovery_platform_test.cpp)
  target_link_libraries(skewmon_discovery_platform_tests PRIVATE skewmon_discovery GTest::gtest_main)
  target_include_directories(skewmon_discovery_platform_tests PRIVATE ${PROJECT_SOURCE_DIR})
  target_compile_definitions(skewmon_discovery_platform_tests PRIVATE
    SKEWMON_BROWSE_PATH="$<TARGET_FILE:skewmon-browse>" SKEWMON_TEST_LAB_FIRST=${SKEWMON_LAB_FIRST})
  add_dependencies(skewmon_discovery_platform_tests skewmon-browse)
  gtest_discover_tests(skewmon_discovery_platform_tests DISCOVERY_TIMEOUT 60)
endif()

if(TARGET skewmon_discovery AND TARGET skewmon_lab_support)
  # The browse servers answer as their guest account, which must reach the
  # lab's folders: a build tree may lie where only its owner can enter (as
  # /root), so the lab lives in the temporary folder, one per build tree.
  string(MD5 SKEWMON_BUILD_TREE_ID "${CMAKE_BINARY_DIR}")
  string(SUBSTRING "${SKEWMON_BUILD_TREE_ID}" 0 8 SKEWMON_BUILD_TREE_ID)
  set(SKEWMON_DOMAIN_LAB_DIR /tmp/skewmon-domain-lab-${SKEWMON_BUILD_TREE_ID})
  find_path(DISCOVERY_SASL_INCLUDE_DIR sasl/sasl.h REQUIRED)

  add_executable(skewmon_discovery_lab_tests ${CMAKE_CURRENT_LIST_DIR}/lab/discovery_lab_test.cpp)
  target_link_libraries(skewmon_discovery_lab_tests PRIVATE
    skewmon_discovery skewmon_timequery skewmon_lab_support PkgConfig::LDAP GTest::gtest_main)
  target_include_directories(skewmon_discovery_lab_tests PRIVATE ${PROJECT_SOURCE_DIR} ${DISCOVERY_SASL_INCLUDE_DIR})
  add_dependencies(skewmon_discovery_lab_tests skewmon-tod skewmon-browse)
  target_compile_definitions(skewmon_discovery_lab_tests PRIVATE SKEWMON_BROWSE_PATH="$<TARGET_FILE:skewmon-browse>")
  # Every test runs in the lab's mount namespace, where the controller's host
  # name maps to its address.
  set_target_properties(skewmon_discovery_lab_tests PROPERTIES
    CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/lab_domain/in_namespace.sh)
  gtest_discover_tests(skewmon_discovery_lab_tests DISCOVERY_TIMEOUT 60
    PROPERTIES FIXTURES_REQUIRED skewmon_domain_lab RESOURCE_LOCK skewmon_domain_lab TIMEOUT 180
               ENVIRONMENT "SKEWMON_DOMAIN_LAB_DIR=${SKEWMON_DOMAIN_LAB_DIR}")

  add_test(NAME domain_lab_start
    COMMAND ${CMAKE_COMMAND} -E env LAB_TOD=$<TARGET_FILE:skewmon-tod>
            ${CMAKE_CURRENT_LIST_DIR}/lab_domain/lab.sh start ${SKEWMON_DOMAIN_LAB_DIR})
  set_tests_properties(domain_lab_start PROPERTIES
    FIXTURES_SETUP skewmon_domain_lab RESOURCE_LOCK skewmon_domain_lab TIMEOUT 400)
  add_test(NAME domain_lab_stop
    COMMAND ${CMAKE_CURRENT_LIST_DIR}/lab_domain/lab.sh stop ${SKEWMON_DOMAIN_LAB_DIR})
  set_tests_properties(domain_lab_stop PROPERTIES
    FIXTURES_CLEANUP skewmon_domain_lab RESOURCE_LOCK skewmon_domain_lab TIMEOUT 120)
endif()
