quadrix_test(test_work SOURCES test_work.cpp LINK qx_core qx_imageio qx_engine qx_saliency qx_lines)
target_link_libraries(test_work PRIVATE Eigen3::Eigen ${CHOLMOD_LIBRARY})
