# Included after the fixtures of other areas (file order), whose targets it uses.
# Raw and local-shell tabs through the real termiva-host.
if(TARGET termiva-host)
  termiva_add_test(NAME core_integration_tests
    SOURCES
      ${CMAKE_CURRENT_LIST_DIR}/../integration/raw_tab_test.cpp
      ${CMAKE_CURRENT_LIST_DIR}/../integration/local_shell_test.cpp
    LIBS termiva_test_support
    LABELS integration)
  add_dependencies(core_integration_tests termiva-host)
endif()

# SUPDUP tabs against the scripted SUPDUP server.
if(TARGET termiva-host AND TARGET supdup_server_fixture AND TARGET sixbitline)
  termiva_add_test(NAME supdup_tab_tests
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/../integration/supdup_tab_test.cpp
    LIBS termiva_test_support supdup_server_fixture sixbitline
    LABELS integration)
  add_dependencies(supdup_tab_tests termiva-host)
endif()

# ZMODEM inside a local-shell tab, with lrzsz as the peer.
if(TARGET termiva-host)
  termiva_add_test(NAME xfer_tab_tests
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/../integration/xfer_tab_test.cpp
    LIBS termiva_test_support
    LABELS integration)
  add_dependencies(xfer_tab_tests termiva-host)
endif()
