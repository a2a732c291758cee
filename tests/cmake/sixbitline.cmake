# SUPDUP client library: decoder and option tests without a network, socket tests
# against a scripted SUPDUP server on loopback.

# A scripted SUPDUP server for any test that needs a peer (also the application's tests).
if(NOT WIN32)
  add_library(supdup_server_fixture STATIC ${CMAKE_CURRENT_LIST_DIR}/../fixtures/supdup_server.cpp)
  target_include_directories(supdup_server_fixture PUBLIC ${CMAKE_CURRENT_LIST_DIR}/..)
  target_link_libraries(supdup_server_fixture PUBLIC Threads::Threads PRIVATE termiva_warnings)
endif()

if(TARGET sixbitline)
  set(_sbl ${CMAKE_CURRENT_LIST_DIR}/..)
  termiva_add_test(NAME sixbitline_unit_tests
    SOURCES
      ${_sbl}/unit/sixbitline_decoder_test.cpp
      ${_sbl}/unit/sixbitline_decoder_fuzz_test.cpp
      ${_sbl}/unit/sixbitline_charset_test.cpp
      ${_sbl}/unit/sixbitline_description_test.cpp
      ${_sbl}/unit/sixbitline_options_test.cpp
    LIBS sixbitline
    LABELS unit)
endif()

# The Winsock connection under Wine, against a Winsock peer of its own.
if(TARGET sixbitline AND WIN32)
  termiva_add_test(NAME sixbitline_winsock_tests
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/../unit/sixbitline_winsock_test.cpp
    LIBS sixbitline ws2_32
    LABELS windows)
endif()

if(TARGET sixbitline AND TARGET supdup_server_fixture)
  termiva_add_test(NAME sixbitline_socket_tests
    SOURCES
      ${_sbl}/integration/sixbitline_socket_test.cpp
      ${_sbl}/integration/sixbitline_socket_fuzz_test.cpp
    LIBS sixbitline supdup_server_fixture termiva_test_support
    LABELS integration)
endif()
