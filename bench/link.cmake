# Link benchmark: TesterDevice against the simulated tester over a pseudo-terminal, beside a plain
# ping-pong of the same bytes (a plain program that prints medians, 99th percentiles and ratios).
if(TARGET ombrelo-sim)
  add_executable(ombrelo-bench-link
    ${CMAKE_CURRENT_LIST_DIR}/link_bench.cpp
    ${PROJECT_SOURCE_DIR}/tests/device/sim_process.cpp
  )
  target_compile_definitions(ombrelo-bench-link PRIVATE OMBRELO_SIM_PATH="$<TARGET_FILE:ombrelo-sim>")
  target_link_libraries(ombrelo-bench-link PRIVATE ombrelo_device)
  add_dependencies(ombrelo-bench-link ombrelo-sim)
endif()
