# Readings chart benchmark: ombrelo-plot on two logs of 100000 rows written by Save Log in the same
# run (a burn-in and the worst case for size), its time beside Save Log's and the SVG's size.
#   ombrelo-bench-plot [folder]   (default: a fresh folder under /tmp)
add_executable(ombrelo-bench-plot ${CMAKE_CURRENT_LIST_DIR}/plot_bench.cpp)
target_link_libraries(ombrelo-bench-plot PRIVATE ombrelo_plot ombrelo_records)
