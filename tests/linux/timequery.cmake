# Tests of the remote time query on Linux, and the tests that need the lab's
# real Samba servers (tests/lab/lab.sh), with the lab as a ctest fixture.
set(SKEWMON_LAB_DIR ${CMAKE_CURRENT_BINARY_DIR}/lab)
# Last octet of the lab's first address: two build trees whose labs run at
# the same time need ranges of their own.
set(SKEWMON_LAB_FIRST 11 CACHE STRING "Last octet of the test lab's first loopback address")

add_library(skewmon_lab_support STATIC ${PROJECT_SOURCE_DIR}/tests/lab/lab_support.cpp)
target_include_directories(skewmon_lab_support PUBLIC ${PROJECT_SOURCE_DIR})
target_compile_definitions(skewmon_lab_support PRIVATE SKEWMON_TOD_PATH="$<TARGET_FILE:skewmon-tod>")
# The tests write Kerberos credentials caches with libkrb5.
find_package(PkgConfig REQUIRED)
pkg_check_modules(TEST_KRB5 REQUIRED IMPORTED_TARGET krb5)
target_link_libraries(skewmon_lab_support PRIVATE PkgConfig::TEST_KRB5)
add_dependencies(skewmon_lab_support skewmon-tod)
# The lab tests' main, with the tests' own client settings.
add_library(skewmon_lab_main STATIC ${PROJECT_SOURCE_DIR}/tests/lab/lab_main.cpp)
target_link_libraries(skewmon_lab_main PUBLIC skewmon_lab_support GTest::gtest)

# Without servers: the arithmetic, CheckMachine, the runner with stand-in helpers.
add_executable(skewmon_timequery_tests
  ${CMAKE_CURRENT_LIST_DIR}/timequery_runner_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/timequery_kerberos_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/timequery_settings_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/child_process_test.cpp)
target_link_libraries(skewmon_timequery_tests PRIVATE skewmon_timequery skewmon_lab_support GTest::gtest_main)
gtest_discover_tests(skewmon_timequery_tests DISCOVERY_TIMEOUT 60)

# The refinement of whole-second answers: simulated servers, and the SMB2
# client against fake servers of the test's own.
add_executable(skewmon_refine_tests
  ${CMAKE_CURRENT_LIST_DIR}/timequery_refine_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/smb2_negotiate_test.cpp)
target_link_libraries(skewmon_refine_tests PRIVATE skewmon_timequery GTest::gtest_main)
gtest_discover_tests(skewmon_refine_tests DISCOVERY_TIMEOUT 60)

# Against the lab.
add_executable(skewmon_lab_tests
  ${PROJECT_SOURCE_DIR}/tests/lab/timequery_lab_test.cpp
  ${PROJECT_SOURCE_DIR}/tests/lab/scan_lab_test.cpp
  ${PROJECT_SOURCE_DIR}/tests/lab/report_lab_test.cpp)
target_link_libraries(skewmon_lab_tests PRIVATE skewmon_timequery skewmon_lab_main)
gtest_discover_tests(skewmon_lab_tests DISCOVERY_TIMEOUT 60
  PROPERTIES FIXTURES_REQUIRED skewmon_lab RESOURCE_LOCK skewmon_lab
             ENVIRONMENT "SKEWMON_LAB_DIR=${SKEWMON_LAB_DIR}")

# Sub-second offsets against the lab, and its SMB1-only server.
add_executable(skewmon_refine_lab_tests ${PROJECT_SOURCE_DIR}/tests/lab/timequery_refine_lab_test.cpp)
target_link_libraries(skewmon_refine_lab_tests PRIVATE skewmon_timequery skewmon_lab_support GTest::gtest)
gtest_discover_tests(skewmon_refine_lab_tests DISCOVERY_TIMEOUT 60
  PROPERTIES FIXTURES_REQUIRED skewmon_lab RESOURCE_LOCK skewmon_lab
             ENVIRONMENT "SKEWMON_LAB_DIR=${SKEWMON_LAB_DIR}")

# LAB_SMB1: one more server, after the hung one, that speaks SMB1 only.
add_test(NAME lab_start
  COMMAND ${CMAKE_COMMAND} -E env LAB_TOD=$<TARGET_FILE:skewmon-tod> LAB_FIRST=${SKEWMON_LAB_FIRST} LAB_SMB1=1
          ${PROJECT_SOURCE_DIR}/tests/lab/lab.sh start ${SKEWMON_LAB_DIR})
set_tests_properties(lab_start PROPERTIES FIXTURES_SETUP skewmon_lab RESOURCE_LOCK skewmon_lab TIMEOUT 180)
add_test(NAME lab_stop COMMAND ${PROJECT_SOURCE_DIR}/tests/lab/lab.sh stop ${SKEWMON_LAB_DIR})
set_tests_properties(lab_stop PROPERTIES FIXTURES_CLEANUP skewmon_lab RESOURCE_LOCK skewmon_lab TIMEOUT 120)

# Milliseconds per machine: this program's query path against Samba's own
# `net time`, on a lab of its own. Not a test: run bench/run.sh.
add_executable(skewmon_bench ${PROJECT_SOURCE_DIR}/bench/query_bench.cpp)
target_link_libraries(skewmon_bench PRIVATE skewmon_timequery skewmon_lab_support)
add_executable(skewmon_floor ${PROJECT_SOURCE_DIR}/bench/floor_main.cpp)
target_link_libraries(skewmon_floor PRIVATE skewmon_timequery)
add_dependencies(skewmon_bench skewmon_floor)

# Offsets against the lab's true shifts, with the negotiate refinement and
# without it. Not a test: run bench/accuracy.sh.
add_executable(skewmon_accuracy_bench ${PROJECT_SOURCE_DIR}/bench/accuracy.cpp)
target_link_libraries(skewmon_accuracy_bench PRIVATE skewmon_timequery skewmon_lab_support)
