# Signs one file in place (see signing.cmake):
#
#   cmake -DOSSLSIGNCODE=<osslsigncode> -DPKCS12=<file> [-DPASSWORD_FILE=<file>]
#         [-DTIMESTAMP_URL=<url>] [-DDESCRIPTION=<text>] -DFILE=<program> -P sign_file.cmake
set(arguments sign -pkcs12 ${PKCS12} -h sha256)
if(PASSWORD_FILE)
    list(APPEND arguments -readpass ${PASSWORD_FILE})
endif()
if(DESCRIPTION)
    list(APPEND arguments -n ${DESCRIPTION})
endif()
if(TIMESTAMP_URL)
    list(APPEND arguments -ts ${TIMESTAMP_URL})
endif()

set(signed ${FILE}.signed)
file(REMOVE ${signed})
execute_process(COMMAND ${OSSLSIGNCODE} ${arguments} -in ${FILE} -out ${signed}
                RESULT_VARIABLE failed OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(failed)
    # The unsigned program goes too: the next build then links and signs again.
    file(REMOVE ${FILE} ${signed})
    message(FATAL_ERROR "osslsigncode could not sign ${FILE}:\n${output}")
endif()
# osslsigncode writes a plain file; the program stays executable, as the linker made it.
file(CHMOD ${signed} PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                 WORLD_READ WORLD_EXECUTE)
file(RENAME ${signed} ${FILE})
