# The Python module's tests (python/tests), with pytest on the module in the
# build tree. Not in the sanitizer build, which makes no module.
if(TARGET quadrix_python)
  add_test(NAME Python.Module
           COMMAND ${Python_EXECUTABLE} -m pytest -q -p no:cacheprovider
                   ${PROJECT_SOURCE_DIR}/python/tests)
  set_tests_properties(Python.Module PROPERTIES
    ENVIRONMENT "PYTHONPATH=${QUADRIX_PYTHON_DIR};QUADRIX_CLI=$<TARGET_FILE:quadrix-cli>"
    TIMEOUT 600)
endif()
