# The desktop program under Xvfb. Each test starts its own virtual X server,
# so the tests may run side by side.
if(TARGET quadrix-app)
  foreach(name test_gui test_gui_window)
    add_executable(${name} ${name}.cpp)
    target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
    target_link_libraries(${name} PRIVATE qx_shell_base quadrix GTest::gtest GTest::gtest_main
                          ${OpenCV_LIBS} Threads::Threads)
    target_compile_definitions(${name} PRIVATE
      QUADRIX_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
      QUADRIX_CLI_PATH="$<TARGET_FILE:quadrix-cli>"
      QUADRIX_APP_PATH="$<TARGET_FILE:quadrix-app>")
    add_dependencies(${name} quadrix-app quadrix-cli)
    gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST
                         PROPERTIES TIMEOUT 180 LABELS gui)
  endforeach()

  # Measures how late the window's timer ticks while a large photo loads:
  # alone, so that no other test takes the processors meanwhile.
  add_executable(test_gui_big test_gui_big.cpp)
  target_include_directories(test_gui_big PRIVATE ${PROJECT_SOURCE_DIR})
  target_link_libraries(test_gui_big PRIVATE GTest::gtest GTest::gtest_main ${OpenCV_LIBS}
                        Threads::Threads)
  target_compile_definitions(test_gui_big PRIVATE
    QUADRIX_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
    QUADRIX_CLI_PATH="$<TARGET_FILE:quadrix-cli>"
    QUADRIX_APP_PATH="$<TARGET_FILE:quadrix-app>"
    $<$<BOOL:${QUADRIX_SANITIZE}>:QUADRIX_SANITIZED>)
  add_dependencies(test_gui_big quadrix-app quadrix-cli)
  gtest_discover_tests(test_gui_big DISCOVERY_MODE PRE_TEST
                       PROPERTIES TIMEOUT 400 LABELS gui RUN_SERIAL TRUE)
endif()

# The desktop program's parts that need no display.
if(TARGET qx_shell_base)
  quadrix_test(test_shell SOURCES test_shell.cpp LINK qx_shell_base quadrix)
  if(TARGET quadrix-app)
    target_compile_definitions(test_shell PRIVATE QUADRIX_APP_PATH="$<TARGET_FILE:quadrix-app>")
    add_dependencies(test_shell quadrix-app)
  endif()
endif()
