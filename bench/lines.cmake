quadrix_bench(bench_lines SOURCES bench_lines.cpp LINK qx_lines qx_base)
