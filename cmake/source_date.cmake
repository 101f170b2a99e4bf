# The time that the programs carry in their PE header: the source's time, never the build's, so
# that anyone who builds the same commit gets the same bytes (README, "Rebuilding a release").
#
#   SOURCE_DATE_EPOCH   taken from the environment of the build when set (seconds since 1970, UTC)
#   otherwise           the time of the commit checked out in the source folder
#   outside a checkout  0, the header's "no time"
#
# qm_source_date(<target>) links <target> with that time. Every build reads it again into
# source-date-epoch in the build folder, which changes only when the time does and then relinks
# the targets: a new commit gives them its time without a new configure.
set(QM_SOURCE_DATE_FILE ${CMAKE_BINARY_DIR}/source-date-epoch)
add_custom_target(qm_source_date
    COMMAND ${CMAKE_COMMAND} -DSOURCE=${PROJECT_SOURCE_DIR} -DOUTPUT=${QM_SOURCE_DATE_FILE}
            -P ${CMAKE_CURRENT_LIST_DIR}/write_source_date.cmake
    BYPRODUCTS ${QM_SOURCE_DATE_FILE}
    VERBATIM)

function(qm_source_date target)
    add_dependencies(${target} qm_source_date)
    set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${QM_SOURCE_DATE_FILE})
    # GNU ld writes SOURCE_DATE_EPOCH into the header instead of the time of the link.
    set_property(TARGET ${target} PROPERTY CXX_LINKER_LAUNCHER
                 ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/link-at-source-date.sh ${QM_SOURCE_DATE_FILE})
endfunction()
