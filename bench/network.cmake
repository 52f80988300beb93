# Network serial server ports: Xmodem 1K through ser2net's telnet port against
# a local pty, through the transfer engine, and the processor time of an idle
# connected network port.
add_executable(bench_network ${CMAKE_CURRENT_SOURCE_DIR}/network_bench.cpp
  ${CMAKE_SOURCE_DIR}/tests/platform/net_peers.cpp)
target_include_directories(bench_network PRIVATE ${CMAKE_SOURCE_DIR}/tests/platform)
target_link_libraries(bench_network PRIVATE bench_engine_support vorl_protocols_ptysupport)
target_compile_definitions(bench_network PRIVATE
  VORL_UART_SERVER_PATH="${CMAKE_SOURCE_DIR}/tests/platform/uart_server.py")
