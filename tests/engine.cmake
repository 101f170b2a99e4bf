# Helper processes, the runtime check and the health probe.
add_executable(helper_child helper_child.cpp)
target_link_options(helper_child PRIVATE -municode)
qm_add_test_program(helper_process_test SOURCES helper_process_test.cpp LIBRARIES qm_engine)
add_dependencies(helper_process_test helper_child)
qm_shim_test_program(health_test SOURCES health_test.cpp LIBRARIES qm_engine)
qm_shim_test_program(preinstall_checks_test FRESH_PREFIX SOURCES preinstall_checks_test.cpp LIBRARIES qm_engine)
