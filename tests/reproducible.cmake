# What keeps two builds of one commit identical (scripts/reproduce.sh compares two whole builds).
add_test(NAME QuellmarkConsoleSetup.reproducible
    COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/reproducible/check-build.sh ${PROJECT_SOURCE_DIR} ${PROJECT_BINARY_DIR}
            $<TARGET_FILE:QuellmarkConsoleSetup> $<TARGET_FILE:qmpack>)
