# The serial line of the platform layer: termios mapping and port list (unit), and the
# line itself against socat pty pairs (integration).
if(TARGET termiva_platform)
  termiva_add_test(NAME serial_unit_tests
    SOURCES
      ${CMAKE_CURRENT_LIST_DIR}/../unit/serial_termios_test.cpp
      ${CMAKE_CURRENT_LIST_DIR}/../unit/serial_ports_list_test.cpp
    LIBS termiva_platform termiva_test_support
    LABELS unit)
  termiva_add_test(NAME serial_port_tests
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/../integration/serial_port_test.cpp
    LIBS termiva_platform termiva_test_support
    LABELS integration)
endif()

# The ESP tools' build-folder reading.
if(TARGET termiva_app)
  termiva_add_test(NAME esp_unit_tests
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/../unit/esp_build_dir_test.cpp
    LIBS termiva_app termiva_test_support
    LABELS unit)
endif()

# A serial tab's reader in the program itself, for what the host cannot provoke.
if(TARGET termiva_app)
  termiva_add_test(NAME serial_reader_fault_tests
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/../integration/serial_reader_fault_test.cpp
    LIBS termiva_app termiva_test_support
    LABELS integration)
endif()

# Serial tabs through the real termiva-host, socat pty pairs as the cable.
if(TARGET termiva-host)
  termiva_add_test(NAME serial_tab_tests
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/../integration/serial_tab_test.cpp
    LIBS termiva_test_support
    LABELS integration)
  add_dependencies(serial_tab_tests termiva-host)
endif()

# ESP flashing through a serial tab, the simulated board on the pty pair's far end.
if(TARGET termiva-host AND TARGET esp_sim)
  termiva_add_test(NAME esp_tab_tests
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/../integration/esp_tab_test.cpp
    LIBS termiva_test_support esp_sim
    LABELS integration)
  add_dependencies(esp_tab_tests termiva-host)
endif()

# The simulated board as a program on a tty, for the page's firmware test.
if(TARGET esp_sim)
  add_executable(esp_sim_tty ${CMAKE_CURRENT_LIST_DIR}/../fixtures/esp_sim_tty_main.cpp)
  target_link_libraries(esp_sim_tty PRIVATE esp_sim termiva_warnings)
  set_target_properties(esp_sim_tty PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
endif()
