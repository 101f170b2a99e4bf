# The wizard started from a download folder full of DLLs named like Windows' own: in each mode up
# to its window or error box, and through a whole installation.
add_library(planted_dll SHARED planted_dll.cpp)
set_target_properties(planted_dll PROPERTIES PREFIX "" RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/tests)
qm_warnings(planted_dll)
qm_shim_test_program(dll_search_test FRESH_PREFIX DISPLAY TIMEOUT 300 SOURCES dll_search_test.cpp
    LIBRARIES qm_wizard_support qm_installation_support psapi)
set(signed 0)
if(QM_SIGNING_PKCS12)
    set(signed 1)
endif()
target_compile_definitions(dll_search_test PRIVATE QM_WIZARD="$<TARGET_FILE:QuellmarkConsoleSetup>"
                                                   QM_WIZARD_SIGNED=${signed})
add_dependencies(dll_search_test QuellmarkConsoleSetup planted_dll sample_console_folder)
