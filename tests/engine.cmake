# Helper processes, the runtime check and the health probe.
add_executable(helper_child helper_child.cpp)
target_link_options(helper_child PRIVATE -municode)
qm_shim_test_program(helper_process_test SOURCES helper_process_test.cpp LIBRARIES qm_engine)
add_dependencies(helper_process_test helper_child)
qm_shim_test_program(health_test SOURCES health_test.cpp LIBRARIES qm_engine)
qm_shim_test_program(preinstall_checks_test FRESH_PREFIX SOURCES preinstall_checks_test.cpp
    LIBRARIES qm_engine qm_service_support)
qm_shim_test_program(runtime_check_test FRESH_PREFIX SOURCES runtime_check_test.cpp LIBRARIES qm_engine)
target_compile_definitions(runtime_check_test PRIVATE QM_SAMPLE_CONSOLE_DIR="${QM_SAMPLE_CONSOLE_DIR}")
add_dependencies(runtime_check_test sample_console_folder)

# The install and uninstall sequences, run through headless_setup.exe in a prefix of each test's
# own. The program runs from the tests' folder, so that the shim and its records are found
# beside it; the copy follows every rebuild.
add_custom_command(OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/headless_setup.exe
    COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:headless_setup> ${CMAKE_CURRENT_BINARY_DIR}/headless_setup.exe
    DEPENDS headless_setup
    VERBATIM)
file(RELATIVE_PATH sample_folder ${CMAKE_CURRENT_BINARY_DIR} ${QM_SAMPLE_CONSOLE_DIR})
add_custom_target(tests_headless_setup DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/headless_setup.exe)
add_library(qm_installation_support STATIC support/headless.cpp support/installation.cpp)
target_link_libraries(qm_installation_support PUBLIC qm_shim_support qm_service_support GTest::gmock)
target_compile_definitions(qm_installation_support PRIVATE QM_SAMPLE_FOLDER="${sample_folder}")
qm_warnings(qm_installation_support)
# Every installation but the full cycle runs its console on a free port of its own; the cycle
# needs the default port and the highest one.
qm_shim_test_program(install_cycle_test FRESH_PREFIX TIMEOUT 300 SOURCES install_cycle_test.cpp
    LIBRARIES qm_installation_support LOCKS tcp-8080 tcp-65535)
foreach(program install_test uninstall_test firewall_prompt_test interruption_test)
    qm_shim_test_program(${program} FRESH_PREFIX TIMEOUT 300 SOURCES ${program}.cpp LIBRARIES qm_installation_support)
endforeach()
foreach(program install_cycle_test install_test uninstall_test firewall_prompt_test interruption_test)
    add_dependencies(${program} tests_headless_setup sample_console_folder)
endforeach()
