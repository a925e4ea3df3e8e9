quadrix_bench(bench_saliency SOURCES bench_saliency.cpp LINK qx_saliency qx_base)
