# The window layer and the window program (label gui): each test starts its own Xvfb.
if(TARGET termiva_platform_gtk)
  termiva_add_test(NAME gui_page_call_test
    SOURCES ${CMAKE_SOURCE_DIR}/tests/integration/gui_page_call_test.cpp
    LIBS termiva_platform_gtk
    LABELS unit)
  termiva_add_test(NAME gui_desktop_test
    SOURCES ${CMAKE_SOURCE_DIR}/tests/integration/gui_desktop_test.cpp
            ${CMAKE_SOURCE_DIR}/tests/integration/gui_xvfb.cpp
    LIBS termiva_platform_gtk termiva_test_support
    LABELS gui)
  pkg_check_modules(TERMIVA_DIALOG_X11 REQUIRED IMPORTED_TARGET x11)
  # Navigation, drops and the bridge: only the program's page ever runs in the view.
  termiva_add_test(NAME gui_page_guard_test
    SOURCES ${CMAKE_SOURCE_DIR}/tests/integration/gui_page_guard_test.cpp
            ${CMAKE_SOURCE_DIR}/tests/integration/gui_xdnd_source.cpp
            ${CMAKE_SOURCE_DIR}/tests/integration/gui_x11.cpp
            ${CMAKE_SOURCE_DIR}/tests/integration/gui_xvfb.cpp
    LIBS termiva_platform_gtk termiva_test_support PkgConfig::TERMIVA_DIALOG_X11
    LABELS gui)
  pkg_check_modules(TERMIVA_DIALOG_GIO REQUIRED IMPORTED_TARGET gio-2.0)
  pkg_check_modules(TERMIVA_DIALOG_GTK REQUIRED IMPORTED_TARGET gtk+-3.0)
  termiva_add_test(NAME gui_dialogs_test
    SOURCES ${CMAKE_SOURCE_DIR}/tests/integration/gui_dialogs_test.cpp
            ${CMAKE_SOURCE_DIR}/tests/integration/gui_clipboard_owner.cpp
            ${CMAKE_SOURCE_DIR}/tests/integration/gui_x11.cpp
            ${CMAKE_SOURCE_DIR}/tests/integration/gui_xvfb.cpp
    LIBS termiva_platform_gtk termiva_test_support PkgConfig::TERMIVA_DIALOG_X11
         PkgConfig::TERMIVA_DIALOG_GIO PkgConfig::TERMIVA_DIALOG_GTK
    LABELS gui)
endif()

if(TARGET termiva)
  pkg_check_modules(TERMIVA_X11 REQUIRED IMPORTED_TARGET x11)
  pkg_check_modules(TERMIVA_GIO REQUIRED IMPORTED_TARGET gio-2.0)
  set(TERMIVA_GUI_PROGRAM_SOURCES
    ${CMAKE_SOURCE_DIR}/tests/integration/gui_program.cpp
    ${CMAKE_SOURCE_DIR}/tests/integration/gui_x11.cpp
    ${CMAKE_SOURCE_DIR}/tests/integration/gui_xvfb.cpp)
  termiva_add_test(NAME gui_window_test
    SOURCES ${CMAKE_SOURCE_DIR}/tests/integration/gui_window_test.cpp
            ${TERMIVA_GUI_PROGRAM_SOURCES}
    LIBS termiva_app termiva_test_support PkgConfig::TERMIVA_X11
    LABELS gui)
  add_dependencies(gui_window_test termiva termiva_page)
  # A second start of the program brings the first one's window forward and leaves.
  termiva_add_test(NAME gui_single_instance_test
    SOURCES ${CMAKE_SOURCE_DIR}/tests/integration/gui_single_instance_test.cpp
            ${CMAKE_SOURCE_DIR}/tests/integration/gui_tray_watcher.cpp
            ${TERMIVA_GUI_PROGRAM_SOURCES}
    LIBS termiva_test_support PkgConfig::TERMIVA_X11 PkgConfig::TERMIVA_GIO
    LABELS gui)
  add_dependencies(gui_single_instance_test termiva termiva_page)
  # The reachability dots in the real window, from the program's own prober.
  termiva_add_test(NAME gui_reachability_test
    SOURCES ${CMAKE_SOURCE_DIR}/tests/integration/gui_reachability_test.cpp
            ${TERMIVA_GUI_PROGRAM_SOURCES}
    LIBS termiva_test_support PkgConfig::TERMIVA_X11
    LABELS gui)
  add_dependencies(gui_reachability_test termiva termiva_page)
  # The tray menu as a panel reads it over the session bus; texts from the catalog.
  termiva_add_test(NAME gui_tray_test
    SOURCES ${CMAKE_SOURCE_DIR}/tests/integration/gui_tray_test.cpp
            ${CMAKE_SOURCE_DIR}/tests/integration/gui_tray_host.cpp
            ${CMAKE_SOURCE_DIR}/tests/integration/gui_tray_watcher.cpp
            ${TERMIVA_GUI_PROGRAM_SOURCES}
    LIBS termiva_app termiva_test_support PkgConfig::TERMIVA_X11 PkgConfig::TERMIVA_GIO
    LABELS gui)
  add_dependencies(gui_tray_test termiva termiva_page)
endif()

# The application's window, tray and title-bar steps against a fake desktop.
if(TARGET termiva_app)
  termiva_add_test(NAME gui_app_window_test
    SOURCES ${CMAKE_SOURCE_DIR}/tests/integration/gui_app_window_test.cpp
    LIBS termiva_app termiva_test_support
    LABELS unit)
endif()
