quadrix_test(test_saliency SOURCES test_saliency.cpp LINK qx_saliency)
