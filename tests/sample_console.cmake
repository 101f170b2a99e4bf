# The sample console that the tests install, and the reference-size console of the benchmarks.
file(RELATIVE_PATH sample_from_tests ${CMAKE_CURRENT_BINARY_DIR} ${QM_SAMPLE_CONSOLE_DIR})
file(RELATIVE_PATH generator_from_tests ${CMAKE_CURRENT_BINARY_DIR}
     ${CMAKE_BINARY_DIR}/benchmarks/make_reference_console.exe)

qm_add_test_program(sample_console_test FRESH_PREFIX LABELS test-tools
    SOURCES sample_console_test.cpp sample_runtime_test.cpp
    LIBRARIES qm_engine ws2_32)
target_compile_definitions(sample_console_test PRIVATE QM_SAMPLE_FOLDER="${sample_from_tests}")
add_dependencies(sample_console_test sample_console_folder)

qm_add_test_program(reference_console_test FRESH_PREFIX TIMEOUT 300 LABELS test-tools SOURCES reference_console_test.cpp)
target_compile_definitions(reference_console_test PRIVATE
    QM_SAMPLE_FOLDER="${sample_from_tests}" QM_REFERENCE_GENERATOR="${generator_from_tests}")
add_dependencies(reference_console_test sample_console_folder make_reference_console)
