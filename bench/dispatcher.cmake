# The dispatcher: PutBlock throughput to a reader across a pty against a plain
# write() loop on another pty, and the processor time of an idle open port.
add_executable(bench_put_block ${CMAKE_CURRENT_SOURCE_DIR}/put_block_bench.cpp)
target_link_libraries(bench_put_block PRIVATE vorl_serial util)
add_executable(bench_idle_port ${CMAKE_CURRENT_SOURCE_DIR}/idle_port_bench.cpp)
target_link_libraries(bench_idle_port PRIVATE vorl_serial util)
