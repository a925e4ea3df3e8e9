quadrix_test(test_imageio SOURCES test_imageio.cpp LINK qx_imageio)
quadrix_test(test_metadata SOURCES test_metadata.cpp LINK qx_imageio PkgConfig::EXIV2)
quadrix_test(test_hostile SOURCES test_hostile.cpp LINK qx_imageio)
