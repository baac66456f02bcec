# The Windows program: the main window, its dialogs and display as a library (which the window
# tests under Wine link too), and Ombrelo.exe, a GUI-subsystem program with its resources.
add_library(ombrelo_ui_win32 STATIC
  ${CMAKE_CURRENT_LIST_DIR}/main_window_win32.cpp
  ${CMAKE_CURRENT_LIST_DIR}/readings_view_win32.cpp
  ${CMAKE_CURRENT_LIST_DIR}/config_dialog_win32.cpp
  ${CMAKE_CURRENT_LIST_DIR}/port_list_win32.cpp
)
target_include_directories(ombrelo_ui_win32 PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(ombrelo_ui_win32 PUBLIC ombrelo_ui_core ombrelo_ui_seams user32 gdi32 comctl32 shell32 advapi32)

add_executable(Ombrelo WIN32 ${CMAKE_CURRENT_LIST_DIR}/main_win32.cpp)
target_link_libraries(Ombrelo PRIVATE ombrelo_ui_win32 ombrelo_records_win32)
if(TARGET ombrelo_resources)
  target_link_libraries(Ombrelo PRIVATE ombrelo_resources)
endif()
if(MINGW)
  # The entry point is wWinMain.
  target_link_options(Ombrelo PRIVATE -municode)
endif()
