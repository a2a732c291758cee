# SSH-1 tabs: our own SSH-1 server fixture (checked against PuTTY's plink -1), the
# packet layer, the backend against the fixture and scripted hostile servers.
if(TARGET termiva_ssh1)
  set(_ssh1 ${CMAKE_CURRENT_LIST_DIR}/..)
  add_executable(ssh1_fixture_server ${_ssh1}/fixtures/ssh1_server/ssh1_server_main.cpp)
  target_link_libraries(ssh1_fixture_server PRIVATE termiva_ssh1 util termiva_warnings)
  set_target_properties(ssh1_fixture_server PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
endif()
