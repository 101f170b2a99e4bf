# Writes the source's time to OUTPUT when it differs from what OUTPUT holds (see source_date.cmake):
#
#   cmake -DSOURCE=<source folder> -DOUTPUT=<file> -P write_source_date.cmake
set(epoch 0)
if(DEFINED ENV{SOURCE_DATE_EPOCH})
    set(epoch "$ENV{SOURCE_DATE_EPOCH}")
    if(NOT epoch MATCHES "^[0-9]+$")
        message(FATAL_ERROR "SOURCE_DATE_EPOCH must be a number of seconds, not \"${epoch}\"")
    endif()
else()
    # Only the checkout of the source folder itself: a source archive unpacked inside some other
    # checkout must not take that one's time.
    execute_process(COMMAND git -C ${SOURCE} rev-parse --show-toplevel
                    OUTPUT_VARIABLE top OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE failed ERROR_QUIET)
    file(REAL_PATH ${SOURCE} source)
    if(NOT failed AND top)
        file(REAL_PATH ${top} top)
    endif()
    if(NOT failed AND top STREQUAL source)
        execute_process(COMMAND git -C ${SOURCE} log -1 --format=%ct
                        OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
    endif()
endif()

set(old "")
if(EXISTS ${OUTPUT})
    file(READ ${OUTPUT} old)
endif()
if(NOT old STREQUAL "${epoch}\n")
    file(WRITE ${OUTPUT} "${epoch}\n")
endif()
