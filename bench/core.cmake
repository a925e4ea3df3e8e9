quadrix_bench(bench_core SOURCES bench_core.cpp LINK qx_core qx_imageio qx_engine qx_saliency qx_lines qx_base)
target_link_libraries(bench_core PRIVATE Eigen3::Eigen ${CHOLMOD_LIBRARY})
