# The TCP backends on Winsock, under Wine, against a Winsock loopback peer in the test.
if(WIN32 AND TARGET termiva_connect)
  termiva_add_test(NAME connect_winsock_tests
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/../unit/connect_winsock_test.cpp
    LIBS termiva_connect ws2_32
    LABELS windows)
endif()
