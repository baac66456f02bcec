# The Win32 implementation of the connection worker's window seam. An object library, so that its
# objects go straight into each program and resolve the worker's calls whatever the link order;
# the console tool and the tests link their own versions instead.
add_library(ombrelo_ui_seams OBJECT
  ${CMAKE_CURRENT_LIST_DIR}/window_ops_win32.cpp
)
target_include_directories(ombrelo_ui_seams PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(ombrelo_ui_seams PUBLIC ombrelo_ui_core user32)
