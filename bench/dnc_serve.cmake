# vorl-dnc serve: processor time of eight idle lines, and the time from the end
# of a remote request to the first byte sent back.
add_executable(bench_dnc_serve ${CMAKE_CURRENT_SOURCE_DIR}/dnc_serve_bench.cpp)
target_link_libraries(bench_dnc_serve PRIVATE vorl_machines)
target_compile_definitions(bench_dnc_serve PRIVATE VORL_DNC_PATH="$<TARGET_FILE:vorl-dnc>")
add_dependencies(bench_dnc_serve vorl-dnc)
