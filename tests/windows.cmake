# Service control, firewall rule and Installed-apps entry.
qm_add_test_program(installed_apps_test FRESH_PREFIX SOURCES installed_apps_test.cpp LIBRARIES qm_windows)
