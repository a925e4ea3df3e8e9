quadrix_bench(bench_paint SOURCES bench_paint.cpp
              LINK qx_core qx_imageio qx_engine qx_saliency qx_lines qx_gl qx_base)
target_link_libraries(bench_paint PRIVATE Eigen3::Eigen ${CHOLMOD_LIBRARY})
add_custom_command(TARGET bench_paint POST_BUILD
  COMMAND ${CMAKE_COMMAND} -E copy_if_different
          ${PROJECT_SOURCE_DIR}/interop_gl/interop_gl.glsl $<TARGET_FILE_DIR:bench_paint>/interop_gl.glsl)
