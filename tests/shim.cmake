# The test shim (qmshim.dll), its test-side helpers and its own tests.
add_subdirectory(shim)

add_library(qm_shim_support STATIC support/shim.cpp shim/inject.cpp)
target_include_directories(qm_shim_support PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(qm_shim_support PUBLIC qm_test_support qm_common)
qm_warnings(qm_shim_support)

# qm_shim_test_program(name ...): a test program that uses the shim; the arguments are those of
# qm_add_test_program. The shim and the probe program are built with it.
function(qm_shim_test_program name)
    qm_add_test_program(${name} ${ARGN})
    target_link_libraries(${name} PRIVATE qm_shim_support)
    add_dependencies(${name} qmshim shim_probe)
endfunction()

qm_shim_test_program(shim_test LABELS test-tools SOURCES shim_test.cpp)
qm_shim_test_program(shim_firewall_test LABELS test-tools SOURCES shim_firewall_test.cpp)
qm_shim_test_program(shim_process_test LABELS test-tools SOURCES shim_process_test.cpp)
qm_shim_test_program(shim_service_test FRESH_PREFIX LABELS test-tools SOURCES shim_service_test.cpp)
