quadrix_bench(bench_detect SOURCES bench_detect.cpp LINK qx_detect qx_base)
