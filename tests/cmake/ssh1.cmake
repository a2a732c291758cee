# SSH-1 tabs: our own SSH-1 server fixture (checked against PuTTY's plink -1), the
# packet layer, the backend against the fixture and scripted hostile servers.
if(TARGET termiva_ssh1)
  set(_ssh1 ${CMAKE_CURRENT_LIST_DIR}/..)
  # The tests' own RSA keys and checks come from OpenSSL, apart from the client's libgcrypt.
  find_package(OpenSSL 3 REQUIRED)
  add_executable(ssh1_fixture_server ${_ssh1}/fixtures/ssh1_server/ssh1_server_main.cpp)
  target_link_libraries(ssh1_fixture_server PRIVATE termiva_ssh1 OpenSSL::Crypto util termiva_warnings)
  set_target_properties(ssh1_fixture_server PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
endif()

if(TARGET termiva_ssh1)
  add_library(ssh1_fixture STATIC ${_ssh1}/fixtures/ssh1_server/ssh1_fixture.cpp)
  target_include_directories(ssh1_fixture PUBLIC ${_ssh1})
  target_link_libraries(ssh1_fixture PUBLIC termiva_ssh1 GTest::gtest PRIVATE termiva_warnings)
  target_compile_definitions(ssh1_fixture PRIVATE
    SSH1_FIXTURE_SERVER="$<TARGET_FILE:ssh1_fixture_server>")
  add_dependencies(ssh1_fixture ssh1_fixture_server)

  termiva_add_test(NAME ssh1_plink_tests
    SOURCES ${_ssh1}/integration/ssh1_plink_test.cpp
    LIBS ssh1_fixture termiva_test_support
    LABELS integration)
endif()

if(TARGET termiva_ssh1)
  termiva_add_test(NAME ssh1_backend_tests
    SOURCES ${_ssh1}/integration/ssh1_backend_test.cpp
    LIBS ssh1_fixture termiva_ssh1 termiva_test_support
    LABELS integration)
endif()

if(TARGET termiva_ssh1)
  termiva_add_test(NAME ssh1_unit_tests
    SOURCES ${_ssh1}/unit/ssh1_packet_test.cpp
    LIBS termiva_ssh1 OpenSSL::Crypto termiva_test_support
    LABELS unit)
endif()

if(TARGET termiva_ssh1 AND TARGET termiva_ssh2)
  termiva_add_test(NAME ssh1_shared_known_hosts_tests
    SOURCES ${_ssh1}/integration/ssh1_shared_known_hosts_test.cpp
    LIBS ssh1_fixture termiva_ssh1 termiva_ssh2 sshd_fixture termiva_test_support
    LABELS integration)
endif()

# SSH-1 tabs end to end through termiva-host.
if(TARGET termiva-host AND TARGET ssh1_fixture)
  termiva_add_test(NAME ssh1_tab_tests
    SOURCES ${_ssh1}/integration/ssh1_tab_test.cpp
    LIBS ssh1_fixture termiva_test_support
    LABELS integration)
  add_dependencies(ssh1_tab_tests termiva-host)
endif()
