# Installation on Linux and the Debian package built from it by CPack.
#
# The program looks for its "Kelvo Firmware" folder in its own directory, so
# the two are installed side by side in one folder of their own (under /opt by
# default: users copy HEX files there). The launcher on PATH is a symbolic link
# to the program, which still finds the folder: Qt takes the program's
# directory from the resolved executable, not from the name it was started by.
# The menu entry and the icon go where desktops look for them. Nothing of the
# tests, benchmarks or the simulator is installed.

set(QRIO_PACKAGE_NAME quorvex-remoteio-firmware-updater)
set(QRIO_APP_DIR "/opt/${QRIO_PACKAGE_NAME}" CACHE PATH
    "Absolute folder for the program and its Kelvo Firmware folder")
if(NOT IS_ABSOLUTE "${QRIO_APP_DIR}")
    message(FATAL_ERROR "QRIO_APP_DIR must be an absolute path, not '${QRIO_APP_DIR}'")
endif()
include(GNUInstallDirs)

install(TARGETS QuorvexRemoteIOFirmwareUpdater RUNTIME DESTINATION "${QRIO_APP_DIR}")
# The text the window shows beside the firmware files.
install(FILES "${CMAKE_CURRENT_LIST_DIR}/firmware-README.txt"
        DESTINATION "${QRIO_APP_DIR}/Kelvo Firmware" RENAME README.txt)

# The launcher: a dangling link made here, installed as a link.
set(qrio_launcher "${CMAKE_CURRENT_BINARY_DIR}/packaging/${QRIO_PACKAGE_NAME}")
file(MAKE_DIRECTORY "${CMAKE_CURRENT_BINARY_DIR}/packaging")
file(CREATE_LINK "${QRIO_APP_DIR}/QuorvexRemoteIOFirmwareUpdater" "${qrio_launcher}" SYMBOLIC)
install(FILES "${qrio_launcher}" DESTINATION "${CMAKE_INSTALL_BINDIR}")

configure_file("${CMAKE_CURRENT_LIST_DIR}/${QRIO_PACKAGE_NAME}.desktop.in"
               "${CMAKE_CURRENT_BINARY_DIR}/packaging/${QRIO_PACKAGE_NAME}.desktop" @ONLY)
install(FILES "${CMAKE_CURRENT_BINARY_DIR}/packaging/${QRIO_PACKAGE_NAME}.desktop"
        DESTINATION "${CMAKE_INSTALL_DATADIR}/applications")
install(FILES "${CMAKE_CURRENT_LIST_DIR}/${QRIO_PACKAGE_NAME}.svg"
        DESTINATION "${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps")

# The Debian package. Its runtime dependencies (the Qt 5 libraries and what
# they and the C++ runtime need) are read from the program by dpkg-shlibdeps,
# so they follow whatever the build links.
set(CPACK_GENERATOR DEB)
set(CPACK_VERBATIM_VARIABLES ON)
set(CPACK_PACKAGE_NAME ${QRIO_PACKAGE_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR Quorvex)
set(CPACK_PACKAGE_CONTACT "Quorvex")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "loads firmware into a CANopen remote-IO module")
set(CPACK_PACKAGE_DESCRIPTION
"The window takes an Intel HEX file from the \"Kelvo Firmware\" folder beside
the program, switches the module's CANopen node into boot mode through a
serial-to-CAN adapter on a COM port, writes the flash, reads it back,
compares, marks the firmware and returns the node to user mode.")
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The form is laid out for Arial; Liberation Sans has its metrics.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS fonts-liberation)
set(CPACK_STRIP_FILES ON)
# /opt is outside the install prefix, so CPack stages through DESTDIR, with
# the prefix the package installs to.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
find_program(QRIO_DPKG dpkg)
if(QRIO_DPKG)
    execute_process(COMMAND ${QRIO_DPKG} --print-architecture
                    OUTPUT_VARIABLE CPACK_DEBIAN_PACKAGE_ARCHITECTURE
                    OUTPUT_STRIP_TRAILING_WHITESPACE)
else()
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE amd64)
endif()
set(CPACK_DEBIAN_FILE_NAME
    "QuorvexRemoteIOFirmwareUpdater_${PROJECT_VERSION}_${CPACK_DEBIAN_PACKAGE_ARCHITECTURE}.deb")
include(CPack)
