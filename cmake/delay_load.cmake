# qm_delay_load(<target> <library>...)
#
#   Links <target> with delay-load import libraries of the named Windows libraries (winhttp,
#   bcrypt, ...): their DLLs leave the program's import table, which the loader resolves before
#   the program's first line, and each is loaded at the first call of one of its functions by
#   the MinGW runtime's delay-load helper, through whatever DLL search the program has set by
#   then. <target> and its libraries keep linking the plain names (-lwinhttp); a folder of the
#   target's own, searched before the tool chain's, holds libraries of the same names made with
#   `dlltool --output-delaylib`. They carry every function that the tool chain's import library
#   imports by name; data cannot be delay-loaded.
function(qm_delay_load target)
    set(script ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/make_delay_library.cmake)
    set(folder ${CMAKE_CURRENT_BINARY_DIR}/${target}.delay-load)
    set(outputs "")
    foreach(library IN LISTS ARGN)
        find_library(import_library ${library} REQUIRED NO_CACHE)
        set(output ${folder}/lib${library}.a)
        add_custom_command(OUTPUT ${output}
            COMMAND ${CMAKE_COMMAND} -DNM=${CMAKE_NM} -DDLLTOOL=${CMAKE_DLLTOOL}
                    -DIMPORT_LIBRARY=${import_library} -DDLL=${library}.dll -DOUTPUT=${output}
                    -P ${script}
            DEPENDS ${import_library} ${script}
            COMMENT "Making the delay-load import library of ${library}.dll for ${target}"
            VERBATIM)
        list(APPEND outputs ${output})
        unset(import_library)
    endforeach()
    add_custom_target(${target}_delay_load DEPENDS ${outputs})
    add_dependencies(${target} ${target}_delay_load)
    target_link_directories(${target} BEFORE PRIVATE ${folder})
    set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${outputs})
endfunction()
