quadrix_test(test_subjects SOURCES test_subjects.cpp
             LINK qx_core qx_imageio qx_engine qx_saliency qx_lines)
target_link_libraries(test_subjects PRIVATE Eigen3::Eigen ${CHOLMOD_LIBRARY})
add_dependencies(test_subjects quadrix-cli)
