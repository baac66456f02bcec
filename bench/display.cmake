# Display tick benchmark: format the 100 displayed cells, evaluate all 160, build one log row.
#   ombrelo-bench-display [ticks]
add_executable(ombrelo-bench-display ${CMAKE_CURRENT_LIST_DIR}/display_bench.cpp)
target_link_libraries(ombrelo-bench-display PRIVATE ombrelo_records)
