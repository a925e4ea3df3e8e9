quadrix_test(test_octave SOURCES test_octave.cpp LINK qx_engine qx_core qx_imageio qx_analysis qx_detect)
target_link_libraries(test_octave PRIVATE Eigen3::Eigen ${CHOLMOD_LIBRARY})
add_dependencies(test_octave quadrix-cli)
