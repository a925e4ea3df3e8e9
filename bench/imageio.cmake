quadrix_bench(bench_imageio SOURCES bench_imageio.cpp LINK qx_imageio qx_base)
