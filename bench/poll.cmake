# Polling cost benchmark: a plain program (no benchmark library needed), run by hand:
#   ombrelo-bench-poll [--seconds N]
if(TARGET ombrelo-sim)
  add_executable(ombrelo-bench-poll
    ${CMAKE_CURRENT_LIST_DIR}/poll_cpu.cpp
    ${CMAKE_CURRENT_LIST_DIR}/poll_window_ops.cpp
  )
  target_include_directories(ombrelo-bench-poll PRIVATE ${PROJECT_SOURCE_DIR})
  target_compile_definitions(ombrelo-bench-poll PRIVATE OMBRELO_SIM_PATH="$<TARGET_FILE:ombrelo-sim>")
  target_link_libraries(ombrelo-bench-poll PRIVATE ombrelo_measurement)
  add_dependencies(ombrelo-bench-poll ombrelo-sim)
endif()
