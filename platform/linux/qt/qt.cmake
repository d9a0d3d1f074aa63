# The main window on Qt 6 Widgets.
find_package(Qt6 REQUIRED COMPONENTS Widgets)
add_library(skewmon_qt STATIC
  ${CMAKE_CURRENT_LIST_DIR}/qt_dialog.cpp
  ${CMAKE_CURRENT_LIST_DIR}/qt_dialog_template.cpp
  ${CMAKE_CURRENT_LIST_DIR}/qt_widgets.cpp
  ${CMAKE_CURRENT_LIST_DIR}/qt_window_system.cpp)
target_link_libraries(skewmon_qt PUBLIC skewmon_logic skewmon_call_bridge Qt6::Widgets)
