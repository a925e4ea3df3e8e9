quadrix_test(test_even SOURCES test_even.cpp LINK qx_core qx_imageio qx_engine qx_analysis qx_detect)
target_link_libraries(test_even PRIVATE Eigen3::Eigen ${CHOLMOD_LIBRARY})
