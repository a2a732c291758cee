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
