# Failure texts, text conversion, command line, folders and host checks.
qm_add_test_program(text_test SOURCES text_test.cpp)
qm_add_test_program(failure_test SOURCES failure_test.cpp)
qm_add_test_program(command_line_test SOURCES command_line_test.cpp LIBRARIES qm_core)
qm_shim_test_program(folders_test FRESH_PREFIX SOURCES folders_test.cpp)
target_compile_definitions(folders_test PRIVATE QM_TEST_PROGRAM="$<TARGET_FILE:folders_test>")

add_executable(host_probe host_probe.cpp)
target_link_libraries(host_probe PRIVATE qm_core)
qm_shim_test_program(host_test FRESH_PREFIX SOURCES host_test.cpp LIBRARIES qm_core)
add_dependencies(host_test host_probe)
