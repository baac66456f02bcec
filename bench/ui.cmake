# Window benchmarks (Windows build, run under Wine by scripts/bench.sh with the simulated tester
# on a COM port):
#   ombrelo-bench-ui-startup [--runs N] OMBRELO_EXE BARE_DIALOG_EXE [TEMPLATE_DIALOG_EXE]
#       start-up of Ombrelo.exe against ombrelo-bench-bare-dialog.exe, the baseline, and
#       ombrelo-bench-template-dialog.exe, Ombrelo's window template shown by a do-nothing program
#   ombrelo-bench-ui-tick [--ticks N]
#       one display tick on the real main window while connected; handles before and after
if(NOT TARGET Ombrelo OR NOT TARGET ombrelo_resources)
  return()
endif()

add_executable(ombrelo-bench-bare-dialog WIN32
  ${CMAKE_CURRENT_LIST_DIR}/bare_dialog.cpp
  ${CMAKE_CURRENT_LIST_DIR}/bare_dialog.rc
)
target_link_libraries(ombrelo-bench-bare-dialog PRIVATE user32)

add_executable(ombrelo-bench-template-dialog WIN32 ${CMAKE_CURRENT_LIST_DIR}/template_dialog.cpp)
target_include_directories(ombrelo-bench-template-dialog PRIVATE ${PROJECT_SOURCE_DIR})
target_link_libraries(ombrelo-bench-template-dialog PRIVATE ombrelo_resources user32 comctl32)

add_executable(ombrelo-bench-ui-startup ${CMAKE_CURRENT_LIST_DIR}/ui_startup_bench.cpp)
target_link_libraries(ombrelo-bench-ui-startup PRIVATE user32)
# The programs it starts are built with it.
add_dependencies(ombrelo-bench-ui-startup Ombrelo ombrelo-bench-bare-dialog ombrelo-bench-template-dialog)

# The real window, resources and worker; the dialog-less save twin stands in for the save dialog,
# which the benchmark never opens.
add_executable(ombrelo-bench-ui-tick
  ${CMAKE_CURRENT_LIST_DIR}/ui_tick_bench.cpp
  ${PROJECT_SOURCE_DIR}/records/save_dialog_posix.cpp
)
target_link_libraries(ombrelo-bench-ui-tick PRIVATE ombrelo_ui_win32 ombrelo_resources)

if(MINGW)
  # Their entry points are wWinMain and wmain.
  target_link_options(ombrelo-bench-bare-dialog PRIVATE -municode)
  target_link_options(ombrelo-bench-template-dialog PRIVATE -municode)
  target_link_options(ombrelo-bench-ui-startup PRIVATE -municode)
  target_link_options(ombrelo-bench-ui-tick PRIVATE -municode)
endif()
