# The program as a user runs it and as the package installs it: its list
# file, its helper, --version, and inputs that must not hang it.
add_executable(skewmon_install_tests
  ${CMAKE_CURRENT_LIST_DIR}/install_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/list_file_startup_test.cpp)
target_link_libraries(skewmon_install_tests PRIVATE skewmon_linux skewmon_timequery GTest::gtest_main)
target_include_directories(skewmon_install_tests PRIVATE ${PROJECT_SOURCE_DIR})
target_compile_definitions(skewmon_install_tests PRIVATE
  SKEWMON_PROGRAM="$<TARGET_FILE:skewmon>"
  SKEWMON_TOD="$<TARGET_FILE:skewmon-tod>"
  SKEWMON_LAB_FIRST=${SKEWMON_LAB_FIRST})
add_dependencies(skewmon_install_tests skewmon skewmon-tod)
gtest_discover_tests(skewmon_install_tests DISCOVERY_TIMEOUT 60)

# The Debian package, unpacked into a staging root, scans the lab.
add_test(NAME PackageLab.InstalledPackageScansTheLab
  COMMAND ${PROJECT_SOURCE_DIR}/tests/lab/package_test.sh ${CMAKE_CPACK_COMMAND} ${PROJECT_BINARY_DIR} ${SKEWMON_LAB_DIR})
set_tests_properties(PackageLab.InstalledPackageScansTheLab PROPERTIES
  FIXTURES_REQUIRED skewmon_lab RESOURCE_LOCK skewmon_lab TIMEOUT 300)
