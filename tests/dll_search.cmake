# The wizard started from a download folder full of DLLs named like Windows' own.
add_library(planted_dll SHARED planted_dll.cpp)
set_target_properties(planted_dll PROPERTIES PREFIX "" RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/tests)
qm_warnings(planted_dll)
qm_add_test_program(dll_search_test FRESH_PREFIX DISPLAY SOURCES dll_search_test.cpp)
target_compile_definitions(dll_search_test PRIVATE QM_WIZARD="$<TARGET_FILE:QuellmarkConsoleSetup>")
add_dependencies(dll_search_test QuellmarkConsoleSetup planted_dll)
