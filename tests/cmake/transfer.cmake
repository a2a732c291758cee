# Tests of the X/Y/ZMODEM engine and the ZMODEM detector (the units also under Wine).
if(TARGET termiva_transfer)
  foreach(unit sniffer crc file_names zmodem_frame zmodem_sender engine tail bounds false_start)
    termiva_add_test(NAME transfer_${unit}_test
      SOURCES ${CMAKE_CURRENT_LIST_DIR}/../unit/transfer_${unit}_test.cpp
      LIBS termiva_transfer termiva_test_support
      LABELS unit)
  endforeach()
endif()

# Against lrzsz, which only a Linux build can start.
if(TARGET termiva_transfer AND NOT WIN32)
  add_library(termiva_lrzsz_fixture STATIC ${CMAKE_CURRENT_LIST_DIR}/../fixtures/lrzsz_peer.cpp)
  target_include_directories(termiva_lrzsz_fixture PUBLIC ${CMAKE_CURRENT_LIST_DIR}/..)
  target_link_libraries(termiva_lrzsz_fixture PUBLIC Threads::Threads PRIVATE termiva_warnings)

  termiva_add_test(NAME transfer_zmodem_lrzsz_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/../integration/transfer_zmodem_lrzsz_test.cpp
    LIBS termiva_transfer termiva_lrzsz_fixture termiva_test_support
    LABELS integration)
  termiva_add_test(NAME transfer_xymodem_lrzsz_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/../integration/transfer_xymodem_lrzsz_test.cpp
    LIBS termiva_transfer termiva_lrzsz_fixture termiva_test_support
    LABELS integration)
endif()
