# The application core: messages, tabs and data path, store, bridge.
if(TARGET termiva_app)
  termiva_add_test(NAME core_unit_tests
    SOURCES
      ${CMAKE_CURRENT_LIST_DIR}/../unit/bridge_test.cpp
      ${CMAKE_CURRENT_LIST_DIR}/../unit/bridge_workers_test.cpp
      ${CMAKE_CURRENT_LIST_DIR}/../unit/pty_backend_test.cpp
      ${CMAKE_CURRENT_LIST_DIR}/../unit/data_path_test.cpp
      ${CMAKE_CURRENT_LIST_DIR}/../unit/desktop_ops_test.cpp
      ${CMAKE_CURRENT_LIST_DIR}/../unit/esp_messages_test.cpp
      ${CMAKE_CURRENT_LIST_DIR}/../unit/messages_test.cpp
      ${CMAKE_CURRENT_LIST_DIR}/../unit/session_record_test.cpp
      ${CMAKE_CURRENT_LIST_DIR}/../unit/store_test.cpp
      ${CMAKE_CURRENT_LIST_DIR}/../unit/store_safety_test.cpp
      ${CMAKE_CURRENT_LIST_DIR}/../unit/stream_starter_test.cpp
      ${CMAKE_CURRENT_LIST_DIR}/../unit/tabs_test.cpp
      ${CMAKE_CURRENT_LIST_DIR}/../unit/tab_state_test.cpp
      ${CMAKE_CURRENT_LIST_DIR}/../unit/login_prompt_test.cpp
      ${CMAKE_CURRENT_LIST_DIR}/../unit/xfer_bridge_test.cpp
    LIBS termiva_app termiva_test_support
    LABELS unit)
  target_compile_definitions(core_unit_tests PRIVATE TERMIVA_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
endif()

# The Telnet engine alone (no sockets).
if(TARGET termiva_connect)
  termiva_add_test(NAME telnet_unit_tests
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/../unit/telnet_engine_test.cpp
    LIBS termiva_connect
    LABELS unit)
endif()

# The page's services in the program: reachability prober, tab logs.
if(TARGET termiva_app)
  termiva_add_test(NAME page_services_unit_tests
    SOURCES
      ${CMAKE_CURRENT_LIST_DIR}/../unit/reachability_test.cpp
      ${CMAKE_CURRENT_LIST_DIR}/../unit/tab_logs_test.cpp
    LIBS termiva_app termiva_test_support
    LABELS unit)
endif()
