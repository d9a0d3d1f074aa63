# Tests of the Linux platform pieces, labelled platform: each against stand-in
# helpers, fake servers of its own on loopback, or real files; none needs the
# labs. Some need root for part of what they check (a small mounted file
# system, another user) and skip that part without it.

# The report files and the Linux services under the main dialog.
add_executable(skewmon_dialog_tests
  ${CMAKE_CURRENT_LIST_DIR}/linux_system_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/report_file_test.cpp)
target_link_libraries(skewmon_dialog_tests PRIVATE skewmon_linux GTest::gtest_main)
gtest_discover_tests(skewmon_dialog_tests DISCOVERY_TIMEOUT 60 PROPERTIES LABELS platform)

# The time query: the runner with stand-in helpers, the system clock,
# Kerberos caches, client settings Samba cannot load, the helper processes.
add_executable(skewmon_timequery_tests
  ${CMAKE_CURRENT_LIST_DIR}/timequery_runner_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/timequery_kerberos_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/timequery_settings_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/child_process_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/connect_probe_test.cpp)
target_link_libraries(skewmon_timequery_tests PRIVATE skewmon_timequery skewmon_lab_support GTest::gtest_main)
gtest_discover_tests(skewmon_timequery_tests DISCOVERY_TIMEOUT 60 PROPERTIES LABELS platform)

# The refinement of whole-second answers: simulated servers, and the SMB2
# client against fake servers of the test's own.
add_executable(skewmon_refine_tests
  ${CMAKE_CURRENT_LIST_DIR}/timequery_refine_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/smb2_negotiate_test.cpp)
target_link_libraries(skewmon_refine_tests PRIVATE skewmon_timequery GTest::gtest_main)
gtest_discover_tests(skewmon_refine_tests DISCOVERY_TIMEOUT 60 PROPERTIES LABELS platform)

# Domain discovery's Linux pieces that need no servers of the lab.
add_executable(skewmon_discovery_platform_tests ${CMAKE_CURRENT_LIST_DIR}/discovery_platform_test.cpp)
target_link_libraries(skewmon_discovery_platform_tests PRIVATE skewmon_discovery GTest::gtest_main)
target_compile_definitions(skewmon_discovery_platform_tests PRIVATE
  SKEWMON_BROWSE_PATH="$<TARGET_FILE:skewmon-browse>" SKEWMON_TEST_LAB_FIRST=${SKEWMON_LAB_FIRST})
add_dependencies(skewmon_discovery_platform_tests skewmon-browse)
gtest_discover_tests(skewmon_discovery_platform_tests DISCOVERY_TIMEOUT 60 PROPERTIES LABELS platform)

# The Qt window: offscreen, no display needed.
find_package(Qt6 COMPONENTS Test REQUIRED)
add_executable(skewmon_qt_tests
  ${CMAKE_CURRENT_LIST_DIR}/qt_main_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/qt_window_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/qt_controls_test.cpp)
target_link_libraries(skewmon_qt_tests PRIVATE skewmon_qt skewmon_linux Qt6::Test GTest::gtest)
gtest_discover_tests(skewmon_qt_tests DISCOVERY_TIMEOUT 60
  PROPERTIES LABELS platform ENVIRONMENT "QT_QPA_PLATFORM=offscreen" TIMEOUT 120)

# The program as a user runs it and as the package installs it: its list
# file, its helper, --version, and inputs that must not hang it.
add_executable(skewmon_install_tests
  ${CMAKE_CURRENT_LIST_DIR}/install_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/list_file_startup_test.cpp)
target_link_libraries(skewmon_install_tests PRIVATE skewmon_linux skewmon_timequery GTest::gtest_main)
target_compile_definitions(skewmon_install_tests PRIVATE
  SKEWMON_PROGRAM="$<TARGET_FILE:skewmon>"
  SKEWMON_TOD="$<TARGET_FILE:skewmon-tod>"
  SKEWMON_LAB_FIRST=${SKEWMON_LAB_FIRST})
add_dependencies(skewmon_install_tests skewmon skewmon-tod)
gtest_discover_tests(skewmon_install_tests DISCOVERY_TIMEOUT 60 PROPERTIES LABELS platform)

# The console's formats as promtool, Monitoring::Plugin and Python's csv
# module read them (scripts/deps.d/console.txt), and --output's file.
add_executable(skewmon_format_tools_tests ${CMAKE_CURRENT_LIST_DIR}/format_tools_test.cpp)
target_link_libraries(skewmon_format_tools_tests PRIVATE skewmon_linux GTest::gtest_main)
target_compile_definitions(skewmon_format_tools_tests PRIVATE SKEWMON_TEST_TOOLS="${PROJECT_SOURCE_DIR}/tests/tools")
gtest_discover_tests(skewmon_format_tools_tests DISCOVERY_TIMEOUT 60 PROPERTIES LABELS platform)

# The window over a made-up network of fakes, for screenshots and for looking
# at it by hand (scripts/screenshot-linux.sh).
add_executable(skewmon_qt_demo ${CMAKE_CURRENT_LIST_DIR}/qt_demo_main.cpp)
target_link_libraries(skewmon_qt_demo PRIVATE skewmon_qt skewmon_linux)
target_include_directories(skewmon_qt_demo PRIVATE ${PROJECT_SOURCE_DIR})
