# Package format, hashing and the packer.
qm_add_test_program(parser_test SOURCES parser_test.cpp LIBRARIES qm_package)
qm_shim_test_program(hashing_test TIMEOUT 300 SOURCES hashing_test.cpp LIBRARIES qm_package)
qm_add_test_program(packer_test SOURCES packer_test.cpp LIBRARIES qm_package)

# The packer runs as a child of its test, from the test's own folder; the copy follows every
# rebuild of the packer.
add_custom_command(OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/qmpack.exe
    COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:qmpack> ${CMAKE_CURRENT_BINARY_DIR}/qmpack.exe
    DEPENDS qmpack
    VERBATIM)
add_custom_target(packer_test_packer DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/qmpack.exe)
add_dependencies(packer_test packer_test_packer)

# Wine cannot make symbolic links, so the folder with a link that the packer must refuse is made
# here, on the Linux side, whenever the test is linked.
set(link_folder ${CMAKE_CURRENT_BINARY_DIR}/packer-link-folder)
add_custom_command(TARGET packer_test POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E rm -rf ${link_folder}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${link_folder}/runtime ${link_folder}/server/backend
    COMMAND ${CMAKE_COMMAND} -E touch ${link_folder}/QuellmarkConsoleService.exe ${link_folder}/runtime/python.exe
            ${link_folder}/server/backend/app.py
    COMMAND ${CMAKE_COMMAND} -E create_symlink ${CMAKE_CURRENT_SOURCE_DIR} ${link_folder}/server/linked-folder
    VERBATIM)
target_compile_definitions(packer_test PRIVATE QM_LINK_FOLDER="${link_folder}")

# A console folder that the build makes and packs through qm_pack_folder, exactly as the wizard's
# build packs its console; packer_test checks the digest source against the package.
set(hook_folder ${CMAKE_CURRENT_BINARY_DIR}/packer-hook-folder)
set(hook_stamp ${CMAKE_CURRENT_BINARY_DIR}/packer-hook-folder.stamp)
set(hook_package ${CMAKE_CURRENT_BINARY_DIR}/packer-hook.qmpack)
set(hook_digest ${CMAKE_CURRENT_BINARY_DIR}/packer_hook_digest.cpp)
add_custom_command(OUTPUT ${hook_stamp}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${hook_folder}/runtime ${hook_folder}/server/backend/app
    COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_CURRENT_SOURCE_DIR}/parser_test.cpp ${hook_folder}/QuellmarkConsoleService.exe
    COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_CURRENT_SOURCE_DIR}/hashing_test.cpp ${hook_folder}/runtime/python.exe
    COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_CURRENT_SOURCE_DIR}/package.cmake ${hook_folder}/server/backend/app/web.py
    COMMAND ${CMAKE_COMMAND} -E touch ${hook_stamp}
    DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/parser_test.cpp ${CMAKE_CURRENT_SOURCE_DIR}/hashing_test.cpp
            ${CMAKE_CURRENT_SOURCE_DIR}/package.cmake
    VERBATIM)
qm_pack_folder(${hook_package} ${hook_digest} ${hook_folder} DEPENDS ${hook_stamp})
target_sources(packer_test PRIVATE ${hook_digest})
target_compile_definitions(packer_test PRIVATE QM_HOOK_PACKAGE="${hook_package}")
