# PuTTY import, the logo images, opening addresses and the notices of delivered software.
if(TARGET termiva_app)
  termiva_add_test(NAME desktop_conveniences_tests
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/../unit/putty_import_test.cpp
            ${CMAKE_CURRENT_LIST_DIR}/../unit/desktop_conveniences_test.cpp
    LIBS termiva_app termiva_test_support
    LABELS unit)
  # One case reads the notices the build writes into the program folder.
  if(TARGET termiva_notices)
    add_dependencies(desktop_conveniences_tests termiva_notices termiva_page)
  endif()
endif()

# The desktop's opener program under a private X server (xdg-open replaced by a recorder).
if(TARGET termiva_platform_gtk)
  termiva_add_test(NAME gui_opener_test
    SOURCES ${CMAKE_SOURCE_DIR}/tests/integration/gui_opener_test.cpp
            ${CMAKE_SOURCE_DIR}/tests/integration/gui_xvfb.cpp
    LIBS termiva_platform_gtk termiva_test_support
    LABELS gui)
endif()

# `cmake --install` into a temporary prefix, the program started from there; no display.
if(TARGET termiva AND TARGET termiva_notices)
  termiva_add_test(NAME gui_install_test
    SOURCES ${CMAKE_SOURCE_DIR}/tests/integration/gui_install_test.cpp
            ${TERMIVA_GUI_PROGRAM_SOURCES}
    LIBS termiva_test_support PkgConfig::TERMIVA_X11
    LABELS gui)
  target_compile_definitions(gui_install_test PRIVATE
    TERMIVA_CMAKE_COMMAND="${CMAKE_COMMAND}" TERMIVA_BINARY_DIR="${CMAKE_BINARY_DIR}")
  add_dependencies(gui_install_test termiva termiva-host termiva_page termiva_notices)
endif()

# The import dialog and the about panel in the page (node + playwright-core).
if(TARGET termiva-host AND TARGET termiva_page AND TARGET termiva_notices)
  find_program(TERMIVA_NODE node)
  if(TERMIVA_NODE)
    add_test(NAME web_conveniences
      COMMAND ${TERMIVA_NODE} --test --test-reporter=spec ${CMAKE_SOURCE_DIR}/tests/web/conveniences.test.mjs)
    set_tests_properties(web_conveniences PROPERTIES
      LABELS web
      TIMEOUT 180
      ENVIRONMENT "TERMIVA_PROGRAM_DIR=${TERMIVA_PROGRAM_DIR};TERMIVA_ARTIFACT_DIR=${CMAKE_BINARY_DIR}/web-artifacts")
  endif()
endif()
