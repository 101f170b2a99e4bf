# Service control, firewall rule and Installed-apps entry.
qm_shim_test_program(installed_apps_test FRESH_PREFIX SOURCES installed_apps_test.cpp LIBRARIES qm_windows)
qm_shim_test_program(firewall_test SOURCES firewall_test.cpp LIBRARIES qm_windows)
# The console's service as the tests read it back.
add_library(qm_service_support STATIC support/services.cpp)
target_link_libraries(qm_service_support PUBLIC qm_test_support)
qm_warnings(qm_service_support)
qm_shim_test_program(service_test FRESH_PREFIX SOURCES service_test.cpp LIBRARIES qm_windows qm_service_support)
target_compile_definitions(service_test PRIVATE QM_SAMPLE_CONSOLE_DIR="${QM_SAMPLE_CONSOLE_DIR}")
add_dependencies(service_test sample_console_folder)
