# The main window on Qt 6 Widgets.
find_package(Qt6 REQUIRED COMPONENTS Widgets)
add_library(skewmon_qt STATIC
  ${CMAKE_CURRENT_LIST_DIR}/qt_dialog.cpp
  ${CMAKE_CURRENT_LIST_DIR}/qt_dialog_template.cpp
  ${CMAKE_CURRENT_LIST_DIR}/qt_widgets.cpp
  ${CMAKE_CURRENT_LIST_DIR}/qt_window_system.cpp)
target_link_libraries(skewmon_qt PUBLIC skewmon_logic skewmon_call_bridge Qt6::Widgets)

if(SKEWMON_BUILD_TESTS)
  # The window with a list file and made-up clocks, for looking at it.
  add_executable(skewmon_qt_demo ${CMAKE_CURRENT_LIST_DIR}/qt_demo_main.cpp)
  target_link_libraries(skewmon_qt_demo PRIVATE skewmon_qt skewmon_linux)
endif()
