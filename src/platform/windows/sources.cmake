# The Windows layer, one file per facility beside linux/. Included by the platform
# CMakeLists for a Windows build: it names the sources and the system libraries they use.
set(TERMIVA_PLATFORM_SOURCES
  windows/wide_text.cpp
  windows/utf8_path.cpp
  windows/calendar_time.cpp
  windows/win_error.cpp
  windows/env.cpp
  windows/owner_only.cpp
  windows/paths.cpp
  windows/atomic_file.cpp
  windows/log.cpp
  windows/command_line.cpp
  windows/child_process.cpp
  windows/serial_dcb.cpp
  windows/serial_port.cpp
  windows/serial_ports_list.cpp
  windows/putty_registry.cpp
  windows/search_path.cpp
  windows/assistant_program.cpp
  windows/desktop_opener.cpp
  windows/winhttp_get.cpp
  windows/pseudo_console.cpp
  windows/socket_io.cpp
  windows/icmp_echo.cpp
  windows/standard_streams.cpp
  windows/broken_pipes.cpp
  windows/fonts.cpp)
set(TERMIVA_PLATFORM_SYSTEM_LIBS advapi32 shell32 ole32 uuid setupapi cfgmgr32 winhttp ws2_32 gdi32)
list(APPEND TERMIVA_PLATFORM_SOURCES windows/code_page.cpp windows/new_file.cpp)
