# The Windows layer's own pieces, built only by the Windows cross build and run under Wine.
# The COM port tests run when TERMIVA_TEST_COM_PAIR names two joined ports
# (tests/support/wine_com_pair.sh 41 42 ctest ...); without it they are skipped. They all
# open the same two ports, so they never run side by side, and scripts/test-windows.sh runs
# them (label com_pair) on their own after the rest: under Wine a read on a pty-backed COM
# port sometimes failed with "Broken pipe" while other Wine programs were starting.
if(WIN32 AND TARGET termiva_platform)
  termiva_add_test(NAME windows_platform_tests
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/../unit/windows_wide_text_test.cpp
            ${CMAKE_CURRENT_LIST_DIR}/../unit/windows_atomic_file_test.cpp
            ${CMAKE_CURRENT_LIST_DIR}/../unit/windows_child_process_test.cpp
            ${CMAKE_CURRENT_LIST_DIR}/../unit/windows_serial_test.cpp
            ${CMAKE_CURRENT_LIST_DIR}/../unit/windows_putty_registry_test.cpp
            ${CMAKE_CURRENT_LIST_DIR}/../unit/windows_search_path_test.cpp
            ${CMAKE_CURRENT_LIST_DIR}/../unit/windows_winhttp_test.cpp
            ${CMAKE_CURRENT_LIST_DIR}/../unit/windows_pseudo_console_test.cpp
            ${CMAKE_CURRENT_LIST_DIR}/../unit/private_files_test.cpp
    LIBS termiva_platform termiva_test_support ws2_32
    LABELS windows)
  termiva_add_test(NAME windows_com_pair_tests
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/../unit/windows_com_pair_test.cpp
    LIBS termiva_platform
    LABELS com_pair
    PROPERTIES RESOURCE_LOCK wine_com_pair)
endif()

# The `claude` stand-in the Linux build's assistant host test starts, through a claude.cmd,
# when it drives termiva-host.exe under Wine (static: it runs outside the program folder).
if(WIN32)
  add_executable(fake_claude_windows ${CMAKE_CURRENT_LIST_DIR}/../fixtures/fake_claude_windows.cpp)
  target_link_libraries(fake_claude_windows PRIVATE termiva_warnings)
  target_link_options(fake_claude_windows PRIVATE -static)
  set_target_properties(fake_claude_windows PROPERTIES
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/test-fixtures)
endif()
