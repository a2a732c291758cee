# The text codecs alone: ICU on Linux, Windows' code pages in the Windows build.
if(TARGET termiva_text)
  termiva_add_test(NAME text_unit_tests
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/../unit/codec_test.cpp
    LIBS termiva_text
    LABELS unit)
endif()
