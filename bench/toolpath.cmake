# The toolpath of a large part program read and drawn at Fit, against reading
# the file, with the peak memory against the file's size.
add_executable(bench_toolpath ${CMAKE_CURRENT_SOURCE_DIR}/toolpath_bench.cpp)
target_link_libraries(bench_toolpath PRIVATE vorl_viewers)
