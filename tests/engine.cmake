quadrix_test(test_engine SOURCES test_engine.cpp LINK qx_engine)
target_link_libraries(test_engine PRIVATE Eigen3::Eigen ${CHOLMOD_LIBRARY})
