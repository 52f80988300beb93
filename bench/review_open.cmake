# Opening a large part program in the review window, against reading the file.
add_executable(bench_review_open ${CMAKE_CURRENT_SOURCE_DIR}/review_open.cpp)
target_link_libraries(bench_review_open PRIVATE vorl_viewers)
