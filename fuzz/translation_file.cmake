vorl_add_fuzz(translation_file SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/translation_file.cpp
              LIBS vorl_transfer)
