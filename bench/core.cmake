# Benchmarks of the host channel and the sample handler. Each prints Google Benchmark's table
# and then a comparison against its plain references.
add_library(zarn_bench_support STATIC bench_support.cpp)
target_include_directories(zarn_bench_support PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}
                                                  PRIVATE ${PROJECT_SOURCE_DIR}/tests)
target_link_libraries(zarn_bench_support PUBLIC zarn_core benchmark::benchmark)

add_executable(bench_frames bench_frames.cpp)
target_link_libraries(bench_frames PRIVATE zarn_bench_support)

add_executable(bench_sample_handler bench_sample_handler.cpp)
target_link_libraries(bench_sample_handler PRIVATE zarn_bench_support)
