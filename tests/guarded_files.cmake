# The link guard and guarded reading, writing and tree removal.
qm_shim_test_program(guarded_files_test FRESH_PREFIX SOURCES guarded_files_test.cpp LIBRARIES qm_package)
