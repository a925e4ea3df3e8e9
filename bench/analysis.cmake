quadrix_bench(bench_analysis SOURCES bench_analysis.cpp LINK qx_analysis qx_base)
