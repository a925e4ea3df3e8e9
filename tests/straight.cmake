quadrix_test(test_straight SOURCES test_straight.cpp LINK qx_core qx_imageio qx_engine qx_saliency qx_lines)
target_link_libraries(test_straight PRIVATE Eigen3::Eigen ${CHOLMOD_LIBRARY})
