quadrix_test(test_gl SOURCES test_gl.cpp test_gl_layout.cpp LINK qx_gl)
add_custom_command(TARGET test_gl POST_BUILD
  COMMAND ${CMAKE_COMMAND} -E copy_if_different
          ${PROJECT_SOURCE_DIR}/interop_gl/interop_gl.glsl $<TARGET_FILE_DIR:test_gl>/interop_gl.glsl)
