quadrix_test(test_analysis SOURCES test_analysis.cpp LINK qx_analysis)
