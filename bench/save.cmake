# Save Log benchmark: 100000 full-width rows written line by line against one bulk write of the
# same bytes, and the process's peak resident memory with the full log. A plain program:
#   ombrelo-bench-save [folder]   (default: a fresh folder under /tmp)
add_executable(ombrelo-bench-save ${CMAKE_CURRENT_LIST_DIR}/save_bench.cpp)
target_link_libraries(ombrelo-bench-save PRIVATE ombrelo_records)
