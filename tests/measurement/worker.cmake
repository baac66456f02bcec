# Tests of the hand-shake state and the connection worker. The worker tests run the simulated
# tester over a real pseudo-terminal and link the recording window seam.
if(NOT WIN32)
  add_library(ombrelo_recording_window_ops STATIC
    ${PROJECT_SOURCE_DIR}/tests/stubs/recording_window_ops.cpp
  )
  target_include_directories(ombrelo_recording_window_ops PUBLIC ${PROJECT_SOURCE_DIR})

  add_executable(ombrelo_worker_handshake_tests
    ${CMAKE_CURRENT_LIST_DIR}/worker_handshake_test.cpp
  )
  target_link_libraries(ombrelo_worker_handshake_tests PRIVATE
    ombrelo_measurement ombrelo_recording_window_ops GTest::gtest_main)
  ombrelo_add_gtest(worker_handshake ombrelo_worker_handshake_tests)
  set_tests_properties(worker_handshake PROPERTIES LABELS threaded)

  if(TARGET ombrelo-sim)
    add_executable(ombrelo_worker_tests
      ${CMAKE_CURRENT_LIST_DIR}/worker_harness.cpp
      ${CMAKE_CURRENT_LIST_DIR}/worker_connect_test.cpp
      ${CMAKE_CURRENT_LIST_DIR}/worker_poll_test.cpp
    )
    target_link_libraries(ombrelo_worker_tests PRIVATE
      ombrelo_measurement ombrelo_recording_window_ops ombrelo_sim_process GTest::gtest_main)
    ombrelo_add_gtest(worker ombrelo_worker_tests)
    set_tests_properties(worker PROPERTIES LABELS threaded TIMEOUT 300)
  endif()
endif()
