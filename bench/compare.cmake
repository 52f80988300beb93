# The compare of two large programs against GNU diff, and recording one in the history.
add_executable(bench_compare ${CMAKE_CURRENT_SOURCE_DIR}/compare_bench.cpp)
target_link_libraries(bench_compare PRIVATE vorl_history)
