# The AI assistant: its component alone, through the application with a fake `claude`,
# and with the real program from npm.
if(TARGET termiva_assistant)
  termiva_add_test(NAME assistant_unit_tests
    SOURCES
      ${CMAKE_CURRENT_LIST_DIR}/../unit/assistant_request_test.cpp
      ${CMAKE_CURRENT_LIST_DIR}/../unit/assistant_model_list_test.cpp
      ${CMAKE_CURRENT_LIST_DIR}/../unit/child_process_test.cpp
    LIBS termiva_assistant termiva_test_support
    LABELS unit)
endif()
if(TARGET termiva_app)
  termiva_add_test(NAME assistant_app_tests
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/../integration/assistant_app_test.cpp
    LIBS termiva_app termiva_test_support
    LABELS integration)
  termiva_add_test(NAME assistant_real_claude_tests
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/../integration/assistant_real_claude_test.cpp
    LIBS termiva_app termiva_test_support
    LABELS integration)
endif()

# The assistant through the real termiva-host, against the fake found where the real program
# would be (also run against the Windows host under Wine, with npm's claude.cmd shape).
if(TARGET termiva-host)
  termiva_add_test(NAME assistant_host_tests
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/../integration/assistant_host_test.cpp
            ${CMAKE_CURRENT_LIST_DIR}/../support/host_fake_claude.cpp
    LIBS termiva_test_support
    LABELS integration)
  add_dependencies(assistant_host_tests termiva-host)
endif()
