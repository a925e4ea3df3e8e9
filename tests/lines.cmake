quadrix_test(test_lines SOURCES test_lines.cpp LINK qx_lines)
