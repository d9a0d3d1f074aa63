# The Qt window: offscreen, no display needed.
find_package(Qt6 COMPONENTS Test REQUIRED)
add_executable(skewmon_qt_tests
  ${CMAKE_CURRENT_LIST_DIR}/qt_main_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/qt_window_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/qt_controls_test.cpp)
target_link_libraries(skewmon_qt_tests PRIVATE skewmon_qt skewmon_linux Qt6::Test GTest::gtest)
target_include_directories(skewmon_qt_tests PRIVATE ${PROJECT_SOURCE_DIR})
gtest_discover_tests(skewmon_qt_tests DISCOVERY_TIMEOUT 60
  PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=offscreen" TIMEOUT 120)
