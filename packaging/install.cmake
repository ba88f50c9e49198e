# The installed layout, for the Windows zip and the Debian package alike: the
# program with its firmware folder beside it, the folder holding README.txt
# (packaging/firmware-README.txt), which the window shows. The program looks
# for the folder in its own directory. scripts/build-windows.sh zips what
# `cmake --install` of the cross build puts into a staging folder; CPack
# builds the Debian package from the same rules on Linux.
#
# Windows: one flat folder, unpacked wherever the user likes: the .exe, the
# firmware folder with README.txt, User Guide.txt and Troubleshooting.txt,
# the texts with Windows line ends for Notepad.
#
# Linux: the program lives in a folder of its own under /usr/lib; firmware is
# data that users add, so the folder itself lives under /var/lib and the entry
# beside the program is a symbolic link to it. README.txt is kept in
# /usr/share/<package> (as firmware-folder.txt); the maintainer scripts make
# the folder (group dialout, group-writable, set-group-ID: whoever may use the
# serial ports may add firmware), copy README.txt into it unless the user has
# changed the copy there, and remove it on purge only. The rest of the Debian
# package is in packaging/linux.cmake.
#
# Both carry the troubleshooting table (docs/troubleshooting.md) as plain
# text, and the support contact of packaging/support-contact.txt in the user
# guide (Windows) or the manual page (Linux), where @QRIO_SUPPORT_CONTACT@
# stands in the source.

set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
    "${CMAKE_CURRENT_LIST_DIR}/support-contact.txt")
file(STRINGS "${CMAKE_CURRENT_LIST_DIR}/support-contact.txt" QRIO_SUPPORT_CONTACT
     REGEX "^[^#]" LIMIT_COUNT 1 ENCODING UTF-8)
include("${PROJECT_SOURCE_DIR}/cmake/troubleshooting-text.cmake")

if(WIN32)
    # qrio_crlf_text(IN OUT): OUT is IN with Windows line ends.
    function(qrio_crlf_text in out)
        set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${in}")
        file(READ "${in}" text)
        string(REPLACE "\r\n" "\n" text "${text}")
        string(REPLACE "\n" "\r\n" text "${text}")
        string(REPLACE "@QRIO_SUPPORT_CONTACT@" "${QRIO_SUPPORT_CONTACT}" text "${text}")
        file(WRITE "${out}" "${text}")
    endfunction()
    set(qrio_textdir "${CMAKE_CURRENT_BINARY_DIR}/windows-texts")
    qrio_crlf_text("${CMAKE_CURRENT_LIST_DIR}/firmware-README.txt" "${qrio_textdir}/README.txt")
    qrio_crlf_text("${PROJECT_SOURCE_DIR}/docs/user-guide-windows.txt" "${qrio_textdir}/User Guide.txt")
    qrio_troubleshooting_text("${PROJECT_SOURCE_DIR}/docs/troubleshooting.md"
                              "${qrio_textdir}/troubleshooting.md")
    qrio_crlf_text("${qrio_textdir}/troubleshooting.md" "${qrio_textdir}/Troubleshooting.txt")

    install(TARGETS ${QRIO_EXE_NAME} RUNTIME DESTINATION .)
    install(FILES "${qrio_textdir}/README.txt" DESTINATION "${QRIO_FIRMWARE_FOLDER}")
    install(FILES "${qrio_textdir}/User Guide.txt" "${qrio_textdir}/Troubleshooting.txt"
            DESTINATION .)
elseif(UNIX AND NOT APPLE)
    set(QRIO_APP_DIR "/usr/lib/${QRIO_PACKAGE_NAME}" CACHE PATH
        "Absolute folder for the program and the link to its firmware folder")
    set(QRIO_STATE_DIR "/var/lib/${QRIO_PACKAGE_NAME}" CACHE PATH
        "Absolute folder that holds the firmware folder users fill")
    foreach(dir QRIO_APP_DIR QRIO_STATE_DIR)
        if(NOT IS_ABSOLUTE "${${dir}}")
            message(FATAL_ERROR "${dir} must be an absolute path, not '${${dir}}'")
        endif()
    endforeach()
    set(QRIO_FIRMWARE_DIR "${QRIO_STATE_DIR}/${QRIO_FIRMWARE_FOLDER}")
    include(GNUInstallDirs)
    set(QRIO_SHARE_DIR "${CMAKE_INSTALL_FULL_DATADIR}/${QRIO_PACKAGE_NAME}")
    set(qrio_pkgdir "${CMAKE_CURRENT_BINARY_DIR}/packaging")
    file(MAKE_DIRECTORY "${qrio_pkgdir}/app")

    install(TARGETS ${QRIO_EXE_NAME} RUNTIME DESTINATION "${QRIO_APP_DIR}")
    install(FILES "${CMAKE_CURRENT_LIST_DIR}/firmware-README.txt"
            DESTINATION "${QRIO_SHARE_DIR}" RENAME firmware-folder.txt)
    # Made here (dangling) and installed as a link; absolute, /usr/lib to
    # /var/lib.
    file(CREATE_LINK "${QRIO_FIRMWARE_DIR}" "${qrio_pkgdir}/app/${QRIO_FIRMWARE_FOLDER}" SYMBOLIC)
    install(FILES "${qrio_pkgdir}/app/${QRIO_FIRMWARE_FOLDER}" DESTINATION "${QRIO_APP_DIR}")

    include("${CMAKE_CURRENT_LIST_DIR}/linux.cmake")
endif()
