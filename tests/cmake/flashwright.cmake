# Tests of libflashwright and the simulated ESP board they run against.
if(TARGET flashwright)
  find_package(ZLIB REQUIRED)
  find_package(nlohmann_json 3 REQUIRED)
  set(_fixtures ${CMAKE_CURRENT_LIST_DIR}/../fixtures)

  # The simulated board, reusable by any test that needs an ESP32 on a serial line.
  add_library(esp_sim STATIC
    ${_fixtures}/esp_sim.cpp
    ${_fixtures}/esp_sim_firmware.cpp
    ${_fixtures}/esp_sim_flash.cpp
    ${_fixtures}/esp_sim_loader.cpp
    ${_fixtures}/esp_sim_slip.cpp
    ${_fixtures}/esp_sim_stub.cpp
    ${_fixtures}/reference_md5.cpp)
  # The board on a pseudo-terminal pair: Linux only.
  if(NOT WIN32)
    target_sources(esp_sim PRIVATE ${_fixtures}/esp_sim_pty.cpp ${_fixtures}/esp_sim_tty_speed.cpp)
  endif()
  target_include_directories(esp_sim PUBLIC ${_fixtures})
  target_link_libraries(esp_sim PUBLIC nlohmann_json::nlohmann_json Threads::Threads
    PRIVATE ZLIB::ZLIB termiva_warnings)
  if(WIN32)
    target_link_libraries(esp_sim PRIVATE ${GCRYPT_LIBRARY})
    target_include_directories(esp_sim PRIVATE ${GCRYPT_INCLUDE_DIR})
  else()
    find_package(OpenSSL REQUIRED)
    target_link_libraries(esp_sim PRIVATE OpenSSL::Crypto)
  endif()

  # A flashing job wired to the simulated board.
  add_library(esp_sim_rig STATIC ${_fixtures}/esp_sim_rig.cpp)
  target_link_libraries(esp_sim_rig PUBLIC esp_sim flashwright PRIVATE termiva_warnings)

  termiva_add_test(NAME flashwright_framing_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/../unit/flashwright_framing_test.cpp
            ${CMAKE_CURRENT_LIST_DIR}/../unit/flashwright_job_harness.cpp
    LIBS flashwright_internal
    LABELS unit)
  termiva_add_test(NAME flashwright_response_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/../unit/flashwright_response_test.cpp
            ${CMAKE_CURRENT_LIST_DIR}/../unit/flashwright_job_harness.cpp
    LIBS flashwright_internal
    LABELS unit)
  termiva_add_test(NAME flashwright_decoder_fuzz_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/../unit/flashwright_decoder_fuzz_test.cpp
            ${CMAKE_CURRENT_LIST_DIR}/../unit/flashwright_job_harness.cpp
    LIBS flashwright_internal
    LABELS unit)
  termiva_add_test(NAME flashwright_offsets_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/../unit/flashwright_offsets_test.cpp
    LIBS flashwright
    LABELS unit)
  termiva_add_test(NAME flashwright_sim_flash_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/../unit/flashwright_sim_flash_test.cpp
    LIBS esp_sim_rig termiva_test_support ZLIB::ZLIB
    LABELS unit)
  termiva_add_test(NAME flashwright_sim_session_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/../unit/flashwright_sim_session_test.cpp
    LIBS esp_sim_rig termiva_test_support
    LABELS unit)
  termiva_add_test(NAME flashwright_sim_rom_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/../unit/flashwright_sim_rom_test.cpp
    LIBS esp_sim_rig termiva_test_support
    LABELS unit)
  termiva_add_test(NAME flashwright_sim_cancel_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/../unit/flashwright_sim_cancel_test.cpp
    LIBS esp_sim_rig termiva_test_support
    LABELS unit)
  termiva_add_test(NAME flashwright_esp_sim_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/../unit/flashwright_esp_sim_test.cpp
    LIBS esp_sim termiva_test_support ZLIB::ZLIB
    LABELS unit)
  if(NOT WIN32)
    termiva_add_test(NAME flashwright_pty_test
      SOURCES ${CMAKE_CURRENT_LIST_DIR}/../integration/flashwright_pty_test.cpp
      LIBS esp_sim_rig termiva_test_support
      LABELS integration)
  endif()
endif()

if(TARGET flashwright)
  termiva_add_test(NAME flashwright_loader_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/../unit/flashwright_loader_test.cpp
            ${CMAKE_CURRENT_LIST_DIR}/../unit/flashwright_job_harness.cpp
    LIBS flashwright_internal termiva_test_support
    LABELS unit)
endif()
