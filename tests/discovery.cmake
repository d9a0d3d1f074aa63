# The domain list and the domain focus: the logic against scripted services.
add_executable(skewmon_discovery_tests ${CMAKE_CURRENT_LIST_DIR}/discovery_logic_test.cpp)
target_link_libraries(skewmon_discovery_tests PRIVATE skewmon_logic GTest::gtest_main)
target_include_directories(skewmon_discovery_tests PRIVATE ${PROJECT_SOURCE_DIR})
gtest_discover_tests(skewmon_discovery_tests DISCOVERY_TIMEOUT 60)
