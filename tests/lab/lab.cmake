# The labs and the tests against them, labelled lab: Samba servers on
# loopback with shifted clocks (lab.sh), and a directory domain with a
# workgroup of browse servers (../lab_domain/lab.sh). Each lab is a ctest
# fixture that its tests start and stop.
set(SKEWMON_LAB_DIR ${CMAKE_CURRENT_BINARY_DIR}/lab)
# Last octet of the lab's first address: two build trees whose labs run at
# the same time need ranges of their own.
set(SKEWMON_LAB_FIRST 11 CACHE STRING "Last octet of the test lab's first loopback address")
set(SKEWMON_LAB_PROPERTIES LABELS lab FIXTURES_REQUIRED skewmon_lab RESOURCE_LOCK skewmon_lab
    ENVIRONMENT "SKEWMON_LAB_DIR=${SKEWMON_LAB_DIR}")

# What the tests know of the lab, and helpers around a test's processes and
# client settings; the platform tests use them too.
add_library(skewmon_lab_support STATIC ${CMAKE_CURRENT_LIST_DIR}/lab_support.cpp)
target_include_directories(skewmon_lab_support PUBLIC ${PROJECT_SOURCE_DIR})
target_compile_definitions(skewmon_lab_support PRIVATE SKEWMON_TOD_PATH="$<TARGET_FILE:skewmon-tod>")
# The tests write Kerberos credentials caches with libkrb5.
find_package(PkgConfig REQUIRED)
pkg_check_modules(TEST_KRB5 REQUIRED IMPORTED_TARGET krb5)
target_link_libraries(skewmon_lab_support PRIVATE PkgConfig::TEST_KRB5)
add_dependencies(skewmon_lab_support skewmon-tod)
# The lab tests' main, with the tests' own client settings.
add_library(skewmon_lab_main STATIC ${CMAKE_CURRENT_LIST_DIR}/lab_main.cpp)
target_link_libraries(skewmon_lab_main PUBLIC skewmon_lab_support GTest::gtest)

# LAB_SMB1: one more server, after the hung one, that speaks SMB1 only.
add_test(NAME lab_start
  COMMAND ${CMAKE_COMMAND} -E env LAB_TOD=$<TARGET_FILE:skewmon-tod> LAB_FIRST=${SKEWMON_LAB_FIRST} LAB_SMB1=1
          ${CMAKE_CURRENT_LIST_DIR}/lab.sh start ${SKEWMON_LAB_DIR})
set_tests_properties(lab_start PROPERTIES
  LABELS lab FIXTURES_SETUP skewmon_lab RESOURCE_LOCK skewmon_lab TIMEOUT 180)
add_test(NAME lab_stop COMMAND ${CMAKE_CURRENT_LIST_DIR}/lab.sh stop ${SKEWMON_LAB_DIR})
set_tests_properties(lab_stop PROPERTIES
  LABELS lab FIXTURES_CLEANUP skewmon_lab RESOURCE_LOCK skewmon_lab TIMEOUT 120)

# The real query path, whole scans of the main dialog, and the report and
# the console mode after real scans.
add_executable(skewmon_lab_tests
  ${CMAKE_CURRENT_LIST_DIR}/timequery_lab_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/scan_lab_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/report_lab_test.cpp)
target_link_libraries(skewmon_lab_tests PRIVATE skewmon_timequery skewmon_lab_main)
gtest_discover_tests(skewmon_lab_tests DISCOVERY_TIMEOUT 60 PROPERTIES ${SKEWMON_LAB_PROPERTIES})

# The console mode: many machines asked at once, and a quit.
add_executable(skewmon_console_lab_tests ${CMAKE_CURRENT_LIST_DIR}/console_lab_test.cpp)
target_link_libraries(skewmon_console_lab_tests PRIVATE skewmon_timequery skewmon_lab_main)
gtest_discover_tests(skewmon_console_lab_tests DISCOVERY_TIMEOUT 60 PROPERTIES ${SKEWMON_LAB_PROPERTIES})

# Every format of a real scan, read by promtool, Monitoring::Plugin and
# Python's csv module; offsets measured from a lab server.
add_executable(skewmon_formats_lab_tests ${CMAKE_CURRENT_LIST_DIR}/formats_lab_test.cpp)
target_link_libraries(skewmon_formats_lab_tests PRIVATE skewmon_timequery skewmon_lab_main)
target_compile_definitions(skewmon_formats_lab_tests PRIVATE SKEWMON_TEST_TOOLS="${PROJECT_SOURCE_DIR}/tests/tools")
gtest_discover_tests(skewmon_formats_lab_tests DISCOVERY_TIMEOUT 60 PROPERTIES ${SKEWMON_LAB_PROPERTIES})

# The program itself on larger lists: a burst of helpers, the connection
# check, SIGTERM.
add_executable(skewmon_scale_lab_tests ${CMAKE_CURRENT_LIST_DIR}/scale_lab_test.cpp)
target_link_libraries(skewmon_scale_lab_tests PRIVATE skewmon_child_process skewmon_lab_main)
target_compile_definitions(skewmon_scale_lab_tests PRIVATE
  SKEWMON_PROGRAM="$<TARGET_FILE:skewmon>" SKEWMON_TOD="$<TARGET_FILE:skewmon-tod>")
add_dependencies(skewmon_scale_lab_tests skewmon skewmon-tod)
gtest_discover_tests(skewmon_scale_lab_tests DISCOVERY_TIMEOUT 60 PROPERTIES ${SKEWMON_LAB_PROPERTIES})

# Sub-second offsets, and the SMB1-only server.
add_executable(skewmon_refine_lab_tests ${CMAKE_CURRENT_LIST_DIR}/timequery_refine_lab_test.cpp)
target_link_libraries(skewmon_refine_lab_tests PRIVATE skewmon_timequery skewmon_lab_support GTest::gtest)
gtest_discover_tests(skewmon_refine_lab_tests DISCOVERY_TIMEOUT 60 PROPERTIES ${SKEWMON_LAB_PROPERTIES})

# Drift against servers whose clocks run fast or slow, on addresses of its
# own after the lab's (LAB_FIRST + 10 on): rates, a clock set mid-history,
# a damaged history with two programs appending at once.
math(EXPR SKEWMON_DRIFT_LAB_FIRST "${SKEWMON_LAB_FIRST} + 10")
add_test(NAME DriftLab.RatesStepsAndConcurrentAppends
  COMMAND python3 ${CMAKE_CURRENT_LIST_DIR}/drift_lab_test.py $<TARGET_FILE:skewmon> ${CMAKE_CURRENT_LIST_DIR}/lab.sh
          ${SKEWMON_DRIFT_LAB_FIRST} ${CMAKE_CURRENT_BINARY_DIR}/drift-lab)
set_tests_properties(DriftLab.RatesStepsAndConcurrentAppends PROPERTIES
  LABELS lab RESOURCE_LOCK skewmon_lab TIMEOUT 400)

# The Debian package, unpacked into a staging root, scans the lab.
add_test(NAME PackageLab.InstalledPackageScansTheLab
  COMMAND ${CMAKE_CURRENT_LIST_DIR}/package_test.sh ${CMAKE_CPACK_COMMAND} ${PROJECT_BINARY_DIR} ${SKEWMON_LAB_DIR})
set_tests_properties(PackageLab.InstalledPackageScansTheLab PROPERTIES
  LABELS lab FIXTURES_REQUIRED skewmon_lab RESOURCE_LOCK skewmon_lab TIMEOUT 300)

# Domain discovery and the browse scan against the domain lab. Its browse
# servers answer as their guest account, which must reach the lab's folders:
# a build tree may lie where only its owner can enter (as /root), so the lab
# lives in the temporary folder, one per build tree.
string(MD5 SKEWMON_BUILD_TREE_ID "${CMAKE_BINARY_DIR}")
string(SUBSTRING "${SKEWMON_BUILD_TREE_ID}" 0 8 SKEWMON_BUILD_TREE_ID)
set(SKEWMON_DOMAIN_LAB_DIR /tmp/skewmon-domain-lab-${SKEWMON_BUILD_TREE_ID})
set(SKEWMON_DOMAIN_LAB_SCRIPTS ${PROJECT_SOURCE_DIR}/tests/lab_domain)
find_path(DISCOVERY_SASL_INCLUDE_DIR sasl/sasl.h REQUIRED)

add_executable(skewmon_discovery_lab_tests ${CMAKE_CURRENT_LIST_DIR}/discovery_lab_test.cpp)
target_link_libraries(skewmon_discovery_lab_tests PRIVATE
  skewmon_discovery skewmon_timequery skewmon_lab_support PkgConfig::LDAP GTest::gtest_main)
target_include_directories(skewmon_discovery_lab_tests PRIVATE ${DISCOVERY_SASL_INCLUDE_DIR})
add_dependencies(skewmon_discovery_lab_tests skewmon-tod skewmon-browse)
target_compile_definitions(skewmon_discovery_lab_tests PRIVATE SKEWMON_BROWSE_PATH="$<TARGET_FILE:skewmon-browse>")
# Every test runs in the lab's mount namespace, where the controller's host
# name maps to its address.
set_target_properties(skewmon_discovery_lab_tests PROPERTIES
  CROSSCOMPILING_EMULATOR ${SKEWMON_DOMAIN_LAB_SCRIPTS}/in_namespace.sh)
gtest_discover_tests(skewmon_discovery_lab_tests DISCOVERY_TIMEOUT 60
  PROPERTIES LABELS lab FIXTURES_REQUIRED skewmon_domain_lab RESOURCE_LOCK skewmon_domain_lab TIMEOUT 180
             ENVIRONMENT "SKEWMON_DOMAIN_LAB_DIR=${SKEWMON_DOMAIN_LAB_DIR}")

add_test(NAME domain_lab_start
  COMMAND ${CMAKE_COMMAND} -E env LAB_TOD=$<TARGET_FILE:skewmon-tod>
          ${SKEWMON_DOMAIN_LAB_SCRIPTS}/lab.sh start ${SKEWMON_DOMAIN_LAB_DIR})
set_tests_properties(domain_lab_start PROPERTIES
  LABELS lab FIXTURES_SETUP skewmon_domain_lab RESOURCE_LOCK skewmon_domain_lab TIMEOUT 400)
add_test(NAME domain_lab_stop
  COMMAND ${SKEWMON_DOMAIN_LAB_SCRIPTS}/lab.sh stop ${SKEWMON_DOMAIN_LAB_DIR})
set_tests_properties(domain_lab_stop PROPERTIES
  LABELS lab FIXTURES_CLEANUP skewmon_domain_lab RESOURCE_LOCK skewmon_domain_lab TIMEOUT 120)

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

# Long runs of scans that must give back what they take: the Qt window
# rescanning the domain lab's workgroup, and console scans 32 machines wide
# against the time lab. 50 scans each here; bench/soak.sh runs the long ones.
add_library(skewmon_soak_figures STATIC ${CMAKE_CURRENT_LIST_DIR}/soak_figures.cpp)
target_link_libraries(skewmon_soak_figures PUBLIC skewmon_lab_support)

add_executable(skewmon_soak_console_lab_tests ${CMAKE_CURRENT_LIST_DIR}/soak_console_test.cpp)
target_link_libraries(skewmon_soak_console_lab_tests PRIVATE skewmon_timequery skewmon_soak_figures skewmon_lab_main)
gtest_discover_tests(skewmon_soak_console_lab_tests DISCOVERY_TIMEOUT 60
  PROPERTIES ${SKEWMON_LAB_PROPERTIES} TIMEOUT 300)

add_executable(skewmon_soak_window_lab_tests ${CMAKE_CURRENT_LIST_DIR}/soak_window_test.cpp)
target_link_libraries(skewmon_soak_window_lab_tests PRIVATE
  skewmon_qt skewmon_discovery skewmon_timequery skewmon_soak_figures Qt6::Test GTest::gtest_main)
add_dependencies(skewmon_soak_window_lab_tests skewmon-tod skewmon-browse)
target_compile_definitions(skewmon_soak_window_lab_tests PRIVATE SKEWMON_BROWSE_PATH="$<TARGET_FILE:skewmon-browse>")
set_target_properties(skewmon_soak_window_lab_tests PROPERTIES
  CROSSCOMPILING_EMULATOR ${SKEWMON_DOMAIN_LAB_SCRIPTS}/in_namespace.sh)
gtest_discover_tests(skewmon_soak_window_lab_tests DISCOVERY_TIMEOUT 60
  PROPERTIES LABELS lab FIXTURES_REQUIRED skewmon_domain_lab RESOURCE_LOCK skewmon_domain_lab TIMEOUT 300
             ENVIRONMENT "SKEWMON_DOMAIN_LAB_DIR=${SKEWMON_DOMAIN_LAB_DIR};QT_QPA_PLATFORM=offscreen")
