quadrix_bench(bench_gl SOURCES bench_gl.cpp LINK qx_gl qx_base)
add_custom_command(TARGET bench_gl POST_BUILD
  COMMAND ${CMAKE_COMMAND} -E copy_if_different
          ${PROJECT_SOURCE_DIR}/interop_gl/interop_gl.glsl $<TARGET_FILE_DIR:bench_gl>/interop_gl.glsl)
