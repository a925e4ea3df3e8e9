quadrix_test(test_imageio SOURCES test_imageio.cpp LINK qx_imageio)
