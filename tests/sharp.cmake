quadrix_test(test_sharp SOURCES test_sharp.cpp LINK qx_gl)
add_dependencies(test_sharp quadrix-cli)
add_custom_command(TARGET test_sharp POST_BUILD
  COMMAND ${CMAKE_COMMAND} -E copy_if_different
          ${PROJECT_SOURCE_DIR}/interop_gl/interop_gl.glsl $<TARGET_FILE_DIR:test_sharp>/interop_gl.glsl)
