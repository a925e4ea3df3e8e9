quadrix_test(test_cli_files SOURCES test_cli_files.cpp LINK qx_cli qx_core qx_imageio qx_engine qx_saliency qx_lines qx_gl)
target_link_libraries(test_cli_files PRIVATE Eigen3::Eigen ${CHOLMOD_LIBRARY})
add_dependencies(test_cli_files quadrix-cli)
include(GNUInstallDirs)
target_compile_definitions(test_cli_files PRIVATE
  QUADRIX_DATADIR="${CMAKE_INSTALL_FULL_DATADIR}/quadrix")
quadrix_test(test_cli_streams SOURCES test_cli_streams.cpp LINK qx_imageio PkgConfig::EXIV2)
add_dependencies(test_cli_streams quadrix-cli)
