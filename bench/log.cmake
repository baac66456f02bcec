# Event log benchmark: what the log costs to create, to fill and to clear, in time and resident
# memory. A plain program:
#   ombrelo-bench-log
add_executable(ombrelo-bench-log ${CMAKE_CURRENT_LIST_DIR}/log_bench.cpp)
target_link_libraries(ombrelo-bench-log PRIVATE ombrelo_records)
