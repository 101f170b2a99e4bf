# Authenticode signing of a built program with osslsigncode (SHA-256), for release builds:
#
#   QM_SIGNING_PKCS12         the PKCS#12 file with the code-signing certificate, its private key
#                             and the certificates that chain it to a root; empty: no signing
#   QM_SIGNING_PASSWORD_FILE  a file holding that file's password; empty: the file has none
#   QM_SIGNING_TIMESTAMP_URL  an RFC 3161 time-stamping server; empty: no time stamp
#
# qm_sign(<target> <description>) signs <target>'s file in place after every link, with the
# description that Windows shows when it asks for elevation, when QM_SIGNING_PKCS12 is set, and
# does nothing otherwise. A failed signing deletes the file, so the build cannot leave
# an unsigned program behind that it would later take for up to date.
set(QM_SIGNING_PKCS12 "" CACHE FILEPATH "PKCS#12 file that signs the wizard; empty: not signed")
set(QM_SIGNING_PASSWORD_FILE "" CACHE FILEPATH "file holding the PKCS#12 password; empty: none")
set(QM_SIGNING_TIMESTAMP_URL "" CACHE STRING "RFC 3161 time-stamping server; empty: no time stamp")

function(qm_sign target description)
    if(NOT QM_SIGNING_PKCS12)
        return()
    endif()
    find_program(QM_OSSLSIGNCODE osslsigncode REQUIRED)
    set(inputs ${QM_SIGNING_PKCS12})
    if(QM_SIGNING_PASSWORD_FILE)
        list(APPEND inputs ${QM_SIGNING_PASSWORD_FILE})
    endif()
    foreach(input IN LISTS inputs)
        if(NOT EXISTS ${input})
            message(FATAL_ERROR "qm_sign: ${input} does not exist")
        endif()
    endforeach()
    set(script ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/sign_file.cmake)
    add_custom_command(TARGET ${target} POST_BUILD
        COMMAND ${CMAKE_COMMAND} -DOSSLSIGNCODE=${QM_OSSLSIGNCODE} -DPKCS12=${QM_SIGNING_PKCS12}
                "-DPASSWORD_FILE=${QM_SIGNING_PASSWORD_FILE}" "-DTIMESTAMP_URL=${QM_SIGNING_TIMESTAMP_URL}"
                "-DDESCRIPTION=${description}" -DFILE=$<TARGET_FILE:${target}> -P ${script}
        COMMENT "Signing ${target} with ${QM_SIGNING_PKCS12}"
        VERBATIM)
    # A new certificate, password or signing step signs again.
    set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${inputs} ${script})
endfunction()
