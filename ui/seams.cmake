# The Win32 implementation of the connection worker's window seam. The main program links it in
# place of the console's or the tests' versions.
add_library(ombrelo_ui_seams STATIC
  ${CMAKE_CURRENT_LIST_DIR}/window_ops_win32.cpp
)
target_include_directories(ombrelo_ui_seams PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(ombrelo_ui_seams PUBLIC user32)
