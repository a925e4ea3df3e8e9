quadrix_test(test_core SOURCES test_core.cpp LINK qx_core qx_imageio qx_engine qx_saliency qx_lines)
target_link_libraries(test_core PRIVATE Eigen3::Eigen ${CHOLMOD_LIBRARY})
quadrix_test(test_guard SOURCES test_guard.cpp LINK qx_core qx_imageio qx_engine qx_saliency qx_lines)
target_link_libraries(test_guard PRIVATE Eigen3::Eigen ${CHOLMOD_LIBRARY})
