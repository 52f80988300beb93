vorl_add_fuzz(restart_reader SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/restart_reader.cpp
              LIBS vorl_restart)
