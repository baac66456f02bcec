# The readings table, its limits and evaluation, the cell texts and the display's colour and
# status decisions. One single-threaded program; in the cross build it runs under Wine.
add_executable(ombrelo_readings_tests
  ${CMAKE_CURRENT_LIST_DIR}/readings_table_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/cell_text_test.cpp
)
target_link_libraries(ombrelo_readings_tests PRIVATE ombrelo_measurement GTest::gtest_main)
ombrelo_add_gtest(readings ombrelo_readings_tests)

# The same judgement fed from the application's tester; kept in its own program because it links
# the whole device layer.
add_executable(ombrelo_readings_tester_tests ${CMAKE_CURRENT_LIST_DIR}/readings_tester_evaluate_test.cpp)
target_link_libraries(ombrelo_readings_tester_tests PRIVATE ombrelo_measurement GTest::gtest_main)
ombrelo_add_gtest(readings_tester ombrelo_readings_tester_tests)
