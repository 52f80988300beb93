vorl_add_fuzz(legacy_import SOURCES ${CMAKE_CURRENT_LIST_DIR}/legacy_import.cpp LIBS vorl_machines)
