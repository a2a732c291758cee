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

# The stores through the real termiva-host (also run against the Windows host under Wine).
if(TARGET termiva-host)
  termiva_add_test(NAME host_store_tests
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/../integration/host_stores_test.cpp
    LIBS termiva_test_support
    LABELS integration)
  add_dependencies(host_store_tests termiva-host)
endif()

# Reachability through the real termiva-host with its prober on: which ports it never
# touches, with ICMP echo forbidden and allowed (as root it opens ping_group_range).
if(TARGET termiva-host)
  termiva_add_test(NAME reachability_host_tests
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/../integration/reachability_host_test.cpp
    LIBS termiva_test_support termiva_platform
    LABELS integration)
  add_dependencies(reachability_host_tests termiva-host)
endif()

# SUPDUP tabs against the scripted SUPDUP server.
if(TARGET termiva-host AND TARGET supdup_server_fixture AND TARGET sixbitline)
  termiva_add_test(NAME supdup_tab_tests
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/../integration/supdup_tab_test.cpp
    LIBS termiva_test_support supdup_server_fixture sixbitline
    LABELS integration)
  add_dependencies(supdup_tab_tests termiva-host)
endif()

# ZMODEM inside a local-shell tab and on a raw TCP tab, with lrzsz as the peer.
if(TARGET termiva-host)
  termiva_add_test(NAME xfer_tab_tests
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/../integration/xfer_tab_test.cpp
    LIBS termiva_test_support peer_process_fixture
    LABELS integration)
  add_dependencies(xfer_tab_tests termiva-host)
endif()

add_library(peer_process_fixture STATIC
  ${CMAKE_CURRENT_LIST_DIR}/../fixtures/peer_process.cpp
  ${CMAKE_CURRENT_LIST_DIR}/../fixtures/rhosts_account.cpp
  ${CMAKE_CURRENT_LIST_DIR}/../fixtures/ser2net_rig.cpp)
target_include_directories(peer_process_fixture PUBLIC ${CMAKE_CURRENT_LIST_DIR}/..)
target_link_libraries(peer_process_fixture PUBLIC Threads::Threads termiva_test_support
  PRIVATE termiva_warnings)
# Telnet (telnetd, ser2net) and Rlogin (rlogind, scripted server) backends.
if(TARGET termiva_connect)
  termiva_add_test(NAME telnet_backend_tests
    SOURCES
      ${CMAKE_CURRENT_LIST_DIR}/../integration/telnet_backend_test.cpp
      ${CMAKE_CURRENT_LIST_DIR}/../integration/rlogin_backend_test.cpp
    LIBS termiva_connect peer_process_fixture termiva_test_support
    LABELS integration)
endif()

# Long-day runs, bounded: many tabs opened and closed, misbehaving peers (label soak).
if(TARGET termiva-host)
  termiva_add_test(NAME soak_tests
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/../integration/soak_test.cpp
    LIBS termiva_test_support
    LABELS soak)
  add_dependencies(soak_tests termiva-host)
endif()

# Telnet, Telnet with RFC 2217 control and Rlogin tabs through the real termiva-host.
if(TARGET termiva-host)
  termiva_add_test(NAME telnet_tab_tests
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/../integration/telnet_tab_test.cpp
    LIBS termiva_test_support peer_process_fixture
    LABELS integration)
  add_dependencies(telnet_tab_tests termiva-host)
endif()
