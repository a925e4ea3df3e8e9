quadrix_test(test_inputs SOURCES test_inputs.cpp LINK qx_core qx_imageio qx_engine qx_saliency qx_lines)
target_link_libraries(test_inputs PRIVATE Eigen3::Eigen ${CHOLMOD_LIBRARY})
