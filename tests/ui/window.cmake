# The real main window and its dialogs under Wine, on a private X display, with the simulated
# tester on a COM port that the port list probes (COM1 to COM5). Cross build only: the simulator
# comes from the native build tree named in OMBRELO_NATIVE_BUILD_DIR.
if(NOT (CMAKE_CROSSCOMPILING AND TARGET ombrelo_ui_win32 AND TARGET ombrelo_resources))
  return()
endif()

# The dialog-less save prompt stands in for the Windows dialog, so no command can block on it.
add_executable(ombrelo_window_tests
  ${CMAKE_CURRENT_LIST_DIR}/window_test.cpp
  ${PROJECT_SOURCE_DIR}/records/save_dialog_posix.cpp
)
target_link_libraries(ombrelo_window_tests PRIVATE ombrelo_ui_win32 ombrelo_resources GTest::gtest)

find_program(OMBRELO_XVFB_RUN xvfb-run)
if(NOT OMBRELO_NATIVE_BUILD_DIR)
  return()
endif()
if(NOT OMBRELO_XVFB_RUN)
  message(WARNING "xvfb-run not found (package xvfb): the window test ui_window is not run")
  return()
endif()

# Wine links COMn to /dev/ttyS<n-1> itself when that is a real serial port, over any link of ours:
# the last probed port is the least likely to be one.
set(window_port COM5)
ombrelo_add_gtest(ui_window
  ${OMBRELO_XVFB_RUN} -a -s "-screen 0 1280x1024x24"
          ${PROJECT_SOURCE_DIR}/scripts/wine-pty-test.sh ${window_port}
          ${OMBRELO_NATIVE_BUILD_DIR}/sim/ombrelo-sim --on
          -- $<TARGET_FILE:ombrelo_window_tests> --port=${window_port})
string(TOLOWER "wine_${window_port}" window_lock)
# Wine's heap checks fill freed blocks, so the heap check after each test sees writes into them.
set_tests_properties(ui_window PROPERTIES LABELS threaded TIMEOUT 600 RESOURCE_LOCK ${window_lock}
                     ENVIRONMENT "WINEDEBUG=-all,err+heap,warn+heap")
