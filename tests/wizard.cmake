# The wizard window driven from another process on the Xvfb display, whole runs through it, and
# the start-up of the wizard process.
# The driver alone (no GoogleTest) is what the demonstration needs.
add_library(qm_wizard_driver STATIC support/wizard_driver.cpp)
target_link_libraries(qm_wizard_driver PUBLIC qm_shim_support)
qm_warnings(qm_wizard_driver)
add_library(qm_wizard_support STATIC support/wizard_tests.cpp)
target_link_libraries(qm_wizard_support PUBLIC qm_wizard_driver GTest::gtest)
target_compile_definitions(qm_wizard_support PRIVATE QM_WIZARD="$<TARGET_FILE:QuellmarkConsoleSetup>")
qm_warnings(qm_wizard_support)

qm_shim_test_program(wizard_pages_test FRESH_PREFIX DISPLAY SOURCES wizard_pages_test.cpp LIBRARIES qm_wizard_support)
add_dependencies(wizard_pages_test QuellmarkConsoleSetup)
qm_shim_test_program(wizard_startup_test FRESH_PREFIX DISPLAY SOURCES wizard_startup_test.cpp LIBRARIES qm_wizard_support)
add_dependencies(wizard_startup_test QuellmarkConsoleSetup)
qm_shim_test_program(wizard_run_test FRESH_PREFIX DISPLAY TIMEOUT 300 SOURCES wizard_run_test.cpp
    LIBRARIES qm_wizard_support qm_installation_support)
add_dependencies(wizard_run_test QuellmarkConsoleSetup)

# The demonstration of scripts/demo.sh, which drives the wizard with the same driver.
add_executable(wizard_demo wizard_demo.cpp)
target_link_libraries(wizard_demo PRIVATE qm_wizard_driver qm_service_support)
target_link_options(wizard_demo PRIVATE -municode)
qm_warnings(wizard_demo)
add_dependencies(wizard_demo qmshim)
qm_shim_test_program(wizard_input_test FRESH_PREFIX DISPLAY TIMEOUT 300 SOURCES wizard_input_test.cpp
    LIBRARIES qm_wizard_support)
add_dependencies(wizard_input_test QuellmarkConsoleSetup)
qm_shim_test_program(wizard_dpi_test FRESH_PREFIX DISPLAY TIMEOUT 300 SOURCES wizard_dpi_test.cpp LIBRARIES qm_wizard_support)
add_dependencies(wizard_dpi_test QuellmarkConsoleSetup)
qm_shim_test_program(wizard_body_test FRESH_PREFIX DISPLAY SOURCES wizard_body_test.cpp
    LIBRARIES qm_wizard_support qm_ui qm_windows)

# The unattended mode: the wizard with --quiet, no display at all.
qm_shim_test_program(quiet_test FRESH_PREFIX NULL_DISPLAY TIMEOUT 300 SOURCES quiet_test.cpp
    LIBRARIES qm_wizard_support qm_installation_support)
add_dependencies(quiet_test QuellmarkConsoleSetup sample_console_folder)
