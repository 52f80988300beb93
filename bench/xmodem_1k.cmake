# One MiB with Xmodem 1K over a pty to lrzsz's rx: our sender against sx -k.
add_executable(bench_xmodem_1k ${CMAKE_CURRENT_SOURCE_DIR}/xmodem_1k_bench.cpp)
target_link_libraries(bench_xmodem_1k PRIVATE vorl_protocols_ptysupport)
