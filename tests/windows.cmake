# Service control, firewall rule and Installed-apps entry.
qm_shim_test_program(installed_apps_test FRESH_PREFIX SOURCES installed_apps_test.cpp LIBRARIES qm_windows)
qm_shim_test_program(firewall_test SOURCES firewall_test.cpp LIBRARIES qm_windows)
qm_shim_test_program(service_test FRESH_PREFIX SOURCES service_test.cpp LIBRARIES qm_windows)
target_compile_definitions(service_test PRIVATE QM_SAMPLE_CONSOLE_DIR="${QM_SAMPLE_CONSOLE_DIR}")
add_dependencies(service_test sample_console_folder)
