quadrix_test(test_octave SOURCES test_octave.cpp LINK qx_engine qx_core qx_imageio qx_saliency qx_lines)
target_link_libraries(test_octave PRIVATE Eigen3::Eigen ${CHOLMOD_LIBRARY})
add_dependencies(test_octave quadrix-cli)
