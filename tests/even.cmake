quadrix_test(test_even SOURCES test_even.cpp LINK qx_core qx_imageio qx_engine qx_saliency qx_lines)
target_link_libraries(test_even PRIVATE Eigen3::Eigen ${CHOLMOD_LIBRARY})
