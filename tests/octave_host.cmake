quadrix_test(test_octave_host SOURCES test_octave_host.cpp LINK qx_engine qx_core qx_imageio qx_saliency qx_lines)
target_link_libraries(test_octave_host PRIVATE Eigen3::Eigen ${CHOLMOD_LIBRARY})
add_dependencies(test_octave_host quadrix-cli)
