# Shared test helpers (peer lookup, temp folders, free ports).
add_library(termiva_test_support STATIC ${CMAKE_CURRENT_LIST_DIR}/../support/test_support.cpp)
target_include_directories(termiva_test_support PUBLIC ${CMAKE_CURRENT_LIST_DIR}/..)
target_link_libraries(termiva_test_support PUBLIC GTest::gtest termiva_warnings)
