# Shared test helpers (peer lookup, temp folders, free ports, the termiva-host driver,
# socat pty pairs as serial cables).
find_package(nlohmann_json REQUIRED)
if(WIN32)
  # Under Wine the tests start no peers: temporary folders and waiting only.
  add_library(termiva_test_support STATIC ${CMAKE_CURRENT_LIST_DIR}/../support/test_support.cpp)
else()
  add_library(termiva_test_support STATIC
    ${CMAKE_CURRENT_LIST_DIR}/../support/test_support.cpp
    ${CMAKE_CURRENT_LIST_DIR}/../support/host_process.cpp
    ${CMAKE_CURRENT_LIST_DIR}/../support/socat_link.cpp)
endif()
target_include_directories(termiva_test_support PUBLIC ${CMAKE_CURRENT_LIST_DIR}/..)
target_link_libraries(termiva_test_support PUBLIC GTest::gtest nlohmann_json::nlohmann_json
  Threads::Threads termiva_warnings)
target_compile_definitions(termiva_test_support PRIVATE TERMIVA_PROGRAM_DIR="${TERMIVA_PROGRAM_DIR}")
