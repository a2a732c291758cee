# The page in headless Chromium against a real termiva-host (node + playwright-core).
if(TARGET termiva-host AND TARGET termiva_page)
  find_program(TERMIVA_NODE node)
  if(TERMIVA_NODE)
    add_test(NAME web_page
      COMMAND ${TERMIVA_NODE} --test --test-reporter=spec ${CMAKE_SOURCE_DIR}/tests/web/page.test.mjs)
    set_tests_properties(web_page PROPERTIES
      LABELS web
      TIMEOUT 240
      ENVIRONMENT "TERMIVA_PROGRAM_DIR=${TERMIVA_PROGRAM_DIR};TERMIVA_ARTIFACT_DIR=${CMAKE_BINARY_DIR}/web-artifacts")
    add_test(NAME web_serial
      COMMAND ${TERMIVA_NODE} --test --test-reporter=spec ${CMAKE_SOURCE_DIR}/tests/web/serial.test.mjs)
    set_tests_properties(web_serial PROPERTIES
      LABELS web
      TIMEOUT 180
      ENVIRONMENT "TERMIVA_PROGRAM_DIR=${TERMIVA_PROGRAM_DIR};TERMIVA_ARTIFACT_DIR=${CMAKE_BINARY_DIR}/web-artifacts;TERMIVA_ESP_SIM_TTY=${CMAKE_BINARY_DIR}/tests/esp_sim_tty")
    add_test(NAME web_assistant
      COMMAND ${TERMIVA_NODE} --test --test-reporter=spec ${CMAKE_SOURCE_DIR}/tests/web/assistant.test.mjs)
    set_tests_properties(web_assistant PROPERTIES
      LABELS web
      TIMEOUT 180
      ENVIRONMENT "TERMIVA_PROGRAM_DIR=${TERMIVA_PROGRAM_DIR};TERMIVA_ARTIFACT_DIR=${CMAKE_BINARY_DIR}/web-artifacts")
    # Find, zoom, menus, tab logs, the SSH option widgets against a real sshd, the prober.
    add_test(NAME web_extras
      COMMAND ${TERMIVA_NODE} --test --test-reporter=spec ${CMAKE_SOURCE_DIR}/tests/web/extras.test.mjs)
    set_tests_properties(web_extras PROPERTIES
      LABELS web
      TIMEOUT 300
      ENVIRONMENT "TERMIVA_PROGRAM_DIR=${TERMIVA_PROGRAM_DIR};TERMIVA_ARTIFACT_DIR=${CMAKE_BINARY_DIR}/web-artifacts")
    # The tab strip with many tabs, closing and reconnecting a tab, links.
    add_test(NAME web_tabs
      COMMAND ${TERMIVA_NODE} --test --test-reporter=spec ${CMAKE_SOURCE_DIR}/tests/web/tabs.test.mjs)
    set_tests_properties(web_tabs PROPERTIES
      LABELS web
      TIMEOUT 180
      ENVIRONMENT "TERMIVA_PROGRAM_DIR=${TERMIVA_PROGRAM_DIR};TERMIVA_ARTIFACT_DIR=${CMAKE_BINARY_DIR}/web-artifacts")
    # The file panel of an SSH-2 tab against a real sshd.
    add_test(NAME web_files
      COMMAND ${TERMIVA_NODE} --test --test-reporter=spec ${CMAKE_SOURCE_DIR}/tests/web/files.test.mjs)
    set_tests_properties(web_files PROPERTIES
      LABELS web
      TIMEOUT 180
      ENVIRONMENT "TERMIVA_PROGRAM_DIR=${TERMIVA_PROGRAM_DIR};TERMIVA_ARTIFACT_DIR=${CMAKE_BINARY_DIR}/web-artifacts")
    add_test(NAME web_idle
      COMMAND ${TERMIVA_NODE} --test --test-reporter=spec ${CMAKE_SOURCE_DIR}/tests/web/idle.test.mjs)
    set_tests_properties(web_idle PROPERTIES
      LABELS web
      TIMEOUT 120
      ENVIRONMENT "TERMIVA_PROGRAM_DIR=${TERMIVA_PROGRAM_DIR}")
  endif()
endif()
