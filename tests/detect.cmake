quadrix_test(test_detect SOURCES test_detect.cpp LINK qx_detect)
