# cmake -DFOLDER=... -DFILES=... -DSERVICE=... -DPYTHON=... -P assemble.cmake
# Builds the sample console folder from scratch, so that a file removed from the sources or
# renamed leaves nothing stale behind: the folder holds the sample and nothing more.
foreach(variable FOLDER FILES SERVICE PYTHON)
    if(NOT DEFINED ${variable})
        message(FATAL_ERROR "assemble.cmake: ${variable} is not set")
    endif()
endforeach()

file(REMOVE_RECURSE ${FOLDER})
file(COPY ${FILES}/ DESTINATION ${FOLDER})
file(COPY ${SERVICE} DESTINATION ${FOLDER})
file(COPY ${PYTHON} DESTINATION ${FOLDER}/runtime)
