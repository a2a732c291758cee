# SSH-2 tabs: the libssh connection layer against a real sshd, and the application's
# SSH starter end to end.

# A real OpenSSH server started by the test itself.
add_library(sshd_fixture STATIC
  ${CMAKE_CURRENT_LIST_DIR}/../fixtures/sshd_fixture.cpp
  ${CMAKE_CURRENT_LIST_DIR}/../integration/ssh_test_helpers.cpp)
target_include_directories(sshd_fixture PUBLIC ${CMAKE_CURRENT_LIST_DIR}/.. ${PROJECT_SOURCE_DIR}/src)
target_link_libraries(sshd_fixture PUBLIC termiva_test_support Threads::Threads PRIVATE termiva_warnings)

if(TARGET termiva_ssh2)
  set(_ssh ${CMAKE_CURRENT_LIST_DIR}/..)
  termiva_add_test(NAME ssh_unit_tests
    SOURCES
      ${_ssh}/unit/ssh_prefs_test.cpp
      ${_ssh}/unit/ssh_bugs_test.cpp
      ${_ssh}/unit/ssh_channel_test.cpp
    LIBS termiva_ssh2
    LABELS unit)
  termiva_add_test(NAME ssh_connection_tests
    SOURCES ${_ssh}/integration/ssh_connection_test.cpp
    LIBS termiva_ssh2 sshd_fixture termiva_test_support
    LABELS integration)
endif()

if(TARGET termiva_app AND TARGET termiva_ssh2)
  set(_ssh ${CMAKE_CURRENT_LIST_DIR}/..)
  termiva_add_test(NAME ssh_starter_unit_tests
    SOURCES ${_ssh}/unit/ssh_starter_parts_test.cpp
    LIBS termiva_app termiva_test_support
    LABELS unit)
  termiva_add_test(NAME ssh_tab_tests
    SOURCES ${_ssh}/integration/ssh_tab_test.cpp
    LIBS termiva_app sshd_fixture termiva_test_support
    LABELS integration)
endif()

# SSH-2 tabs through the real termiva-host (also run against the Windows host under Wine).
if(TARGET termiva-host AND TARGET termiva_ssh2)
  termiva_add_test(NAME ssh_host_tab_tests
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/../integration/ssh_host_tab_test.cpp
    LIBS termiva_ssh2 sshd_fixture termiva_test_support
    LABELS integration)
  add_dependencies(ssh_host_tab_tests termiva-host)
endif()

# Logging in by typing into the tab, through the real termiva-host.
if(TARGET termiva-host AND TARGET termiva_ssh2)
  termiva_add_test(NAME ssh_login_tests
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/../integration/ssh_login_test.cpp
    LIBS sshd_fixture termiva_test_support
    LABELS integration)
  add_dependencies(ssh_login_tests termiva-host)
endif()
