# Makes one delay-load import library (see delay_load.cmake):
#
#   cmake -DNM=<nm> -DDLLTOOL=<dlltool> -DIMPORT_LIBRARY=<tool chain's libX.a> -DDLL=<x.dll>
#         -DOUTPUT=<libX.a to make> -P make_delay_library.cmake
#
# In an import library, a function imported by name has its call stub ("T name") and its import
# slot ("I __imp_name"); data has the slot only, and stays out.
cmake_minimum_required(VERSION 3.25)

execute_process(COMMAND ${NM} --defined-only ${IMPORT_LIBRARY}
                OUTPUT_VARIABLE symbols COMMAND_ERROR_IS_FATAL ANY)
string(REGEX MATCHALL "[^\n]+" lines "${symbols}")
set(stubs "")
set(slots "")
foreach(line IN LISTS lines)
    if(line MATCHES "^[0-9a-fA-F]+ T ([A-Za-z0-9_@]+)$")
        list(APPEND stubs ${CMAKE_MATCH_1})
    elseif(line MATCHES "^[0-9a-fA-F]+ I __imp_([A-Za-z0-9_@]+)$")
        list(APPEND slots ${CMAKE_MATCH_1})
    endif()
endforeach()

set(definition "LIBRARY ${DLL}\nEXPORTS\n")
set(count 0)
foreach(name IN LISTS stubs)
    if(name IN_LIST slots)
        string(APPEND definition "${name}\n")
        math(EXPR count "${count} + 1")
    endif()
endforeach()
if(count EQUAL 0)
    message(FATAL_ERROR "${IMPORT_LIBRARY} imports no function by name")
endif()

get_filename_component(folder ${OUTPUT} DIRECTORY)
get_filename_component(name ${OUTPUT} NAME)
file(MAKE_DIRECTORY ${folder})
file(WRITE ${OUTPUT}.def "${definition}")
file(REMOVE ${OUTPUT})
# dlltool names the library's symbols after the output as given (__DLL_HANDLE_<output>), and the
# program keeps them: given by its bare name, the build folder's path stays out of the program.
execute_process(COMMAND ${DLLTOOL} --def ${name}.def --dllname ${DLL} --output-delaylib ${name}
                WORKING_DIRECTORY ${folder} COMMAND_ERROR_IS_FATAL ANY)
