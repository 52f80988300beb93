# Download preparation of a large program against cp of the same file.
add_executable(bench_prepare ${CMAKE_CURRENT_SOURCE_DIR}/prepare_bench.cpp)
target_link_libraries(bench_prepare PRIVATE vorl_transfer)
