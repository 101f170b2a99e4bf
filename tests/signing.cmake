# The signature of a wizard built with QM_SIGNING_PKCS12 (scripts/test.sh signs with throw-away
# certificates from tests/signing/make-certificates.sh).
if(QM_SIGNING_PKCS12)
    set(timestamped 0)
    if(QM_SIGNING_TIMESTAMP_URL)
        set(timestamped 1)
    endif()
    add_test(NAME signing.wizard
        COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/signing/check-signature.sh $<TARGET_FILE:QuellmarkConsoleSetup>
                ${QM_SIGNING_PKCS12} "${QM_SIGNING_PASSWORD_FILE}" ${timestamped})
endif()
