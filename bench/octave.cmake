quadrix_bench(bench_octave SOURCES bench_octave.cpp LINK qx_core qx_imageio qx_engine qx_saliency qx_lines qx_base)
target_link_libraries(bench_octave PRIVATE Eigen3::Eigen ${CHOLMOD_LIBRARY})
