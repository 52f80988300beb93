vorl_add_fuzz(language_reader SOURCES ${CMAKE_CURRENT_LIST_DIR}/language_reader.cpp LIBS vorl_text)
