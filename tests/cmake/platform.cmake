# The operating-system layer without a window: the atomic writer, the data folder, and
# waiting for a child's end.
if(TARGET termiva_platform)
  termiva_add_test(NAME platform_unit_tests
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/../unit/atomic_file_test.cpp
            ${CMAKE_CURRENT_LIST_DIR}/../unit/child_end_test.cpp
            ${CMAKE_CURRENT_LIST_DIR}/../unit/typed_path_test.cpp
            ${CMAKE_CURRENT_LIST_DIR}/../unit/private_files_test.cpp
    LIBS termiva_platform termiva_test_support
    LABELS unit)
endif()
