# The TCP backends on Winsock, under Wine, against a Winsock loopback peer in the test.
if(WIN32 AND TARGET termiva_connect)
  termiva_add_test(NAME connect_winsock_tests
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/../unit/connect_winsock_test.cpp
    LIBS termiva_connect ws2_32
    LABELS windows)
endif()

# SSH-1's cryptography on the mingw libgcrypt, against published answers.
if(WIN32 AND TARGET termiva_ssh1)
  termiva_add_test(NAME ssh1_crypto_windows_tests
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/../unit/ssh1_crypto_known_answers_test.cpp
    LIBS termiva_ssh1
    LABELS windows)
endif()

# SSH-2 on libssh and Winsock against the real OpenSSH server that
# tests/support/wine_sshd.sh starts beside Wine (skipped without it).
if(WIN32 AND TARGET termiva_ssh2)
  termiva_add_test(NAME ssh_windows_tests
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/../integration/ssh_windows_test.cpp
    LIBS termiva_ssh2 termiva_test_support ws2_32
    LABELS windows)
endif()

# The local shell on a pseudo console.
if(WIN32 AND TARGET termiva_connect)
  termiva_add_test(NAME conpty_backend_tests
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/../unit/conpty_backend_test.cpp
    LIBS termiva_connect
    LABELS windows)
endif()
