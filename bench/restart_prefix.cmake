# The restart prefix for the last block of a large program against reading the file.
add_executable(bench_restart_prefix ${CMAKE_CURRENT_SOURCE_DIR}/restart_prefix_bench.cpp)
target_link_libraries(bench_restart_prefix PRIVATE vorl_restart)
