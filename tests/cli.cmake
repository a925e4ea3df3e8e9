quadrix_test(test_cli SOURCES test_cli.cpp LINK qx_cli qx_core qx_imageio qx_engine qx_saliency qx_lines qx_gl)
target_link_libraries(test_cli PRIVATE Eigen3::Eigen ${CHOLMOD_LIBRARY})
add_dependencies(test_cli quadrix-cli)
