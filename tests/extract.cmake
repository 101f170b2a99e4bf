# Extraction of the carried package, and the resources of the built wizard.

# The test program carries a small folder of its own, embedded exactly as the wizard embeds the
# console, so that extractPayload reads a real resource.
set(extract_sample ${CMAKE_CURRENT_SOURCE_DIR}/data/extract-sample)
qm_shim_test_program(extract_test FRESH_PREFIX SOURCES extract_test.cpp LIBRARIES qm_package)
qm_embed_package(extract_test ${extract_sample})
target_compile_definitions(extract_test PRIVATE QM_EXTRACT_SAMPLE="${extract_sample}")

# The built wizard, read as a file; the test compiles the wizard's own digest source.
qm_shim_test_program(resources_test SOURCES resources_test.cpp LIBRARIES qm_package version)
get_target_property(wizard_digest_source QuellmarkConsoleSetup QM_EMBEDDED_DIGEST_SOURCE)
target_sources(resources_test PRIVATE ${wizard_digest_source})
target_compile_definitions(resources_test PRIVATE QM_WIZARD="$<TARGET_FILE:QuellmarkConsoleSetup>")
add_dependencies(resources_test QuellmarkConsoleSetup)
