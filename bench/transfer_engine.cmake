# The transfer engine: processor time while it waits for the machine tool,
# the block sender's throughput against a plain write(), and the characters
# sent after the simulated machine tool's XOFF.
add_library(bench_engine_support STATIC ${CMAKE_CURRENT_SOURCE_DIR}/engine_bench.cpp)
target_link_libraries(bench_engine_support PUBLIC vorl_transfer_engine vorl_serial_qt util)

add_executable(bench_ready_wait ${CMAKE_CURRENT_SOURCE_DIR}/ready_wait_bench.cpp)
target_link_libraries(bench_ready_wait PRIVATE bench_engine_support)

add_executable(bench_block_sender ${CMAKE_CURRENT_SOURCE_DIR}/block_sender_bench.cpp)
target_link_libraries(bench_block_sender PRIVATE bench_engine_support)

add_executable(bench_xoff_overrun ${CMAKE_CURRENT_SOURCE_DIR}/xoff_overrun_bench.cpp
                                  ${CMAKE_SOURCE_DIR}/tools/tests/sim_process.cpp)
target_link_libraries(bench_xoff_overrun PRIVATE bench_engine_support)
target_include_directories(bench_xoff_overrun PRIVATE ${CMAKE_SOURCE_DIR}/tools/tests)
target_compile_definitions(bench_xoff_overrun PRIVATE
  VORL_SIMMACHINE_PATH="$<TARGET_FILE:vorl-simmachine>")
add_dependencies(bench_xoff_overrun vorl-simmachine)
