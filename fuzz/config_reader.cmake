vorl_add_fuzz(config_reader SOURCES ${CMAKE_CURRENT_LIST_DIR}/config_reader.cpp LIBS vorl_machines)
