# The Debian package built by CPack from the install rules: the installed
# layout of packaging/install.cmake (which includes this file on Linux), and
# here the launcher on PATH, menu entry, icon, AppStream metadata, documents
# and maintainer scripts. The launcher is a symbolic link to the program,
# which still finds its firmware folder: Qt takes the program's directory from
# the resolved executable, not from the name it was started by. Nothing of the
# tests, benchmarks or the simulator is installed.

set(QRIO_MAINTAINER "${QRIO_COMPANY} <support@${QRIO_COMPANY_DOMAIN}>" CACHE STRING
    "Maintainer field of the Debian package: name <e-mail>")

# Generated files change only when their sources do, and the sources' changes
# reconfigure.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
    "${CMAKE_CURRENT_SOURCE_DIR}/CHANGELOG.md"
    "${CMAKE_CURRENT_LIST_DIR}/debian-changelog.sh"
    "${CMAKE_CURRENT_SOURCE_DIR}/docs/${QRIO_PACKAGE_NAME}.1")

# The launcher: made here (dangling) and installed as a link, relative (one
# top-level folder, /usr/bin to /usr/lib).
file(RELATIVE_PATH qrio_launcher_target "${CMAKE_INSTALL_FULL_BINDIR}"
     "${QRIO_APP_DIR}/${QRIO_EXE_NAME}")
file(MAKE_DIRECTORY "${qrio_pkgdir}/bin")
file(CREATE_LINK "${qrio_launcher_target}" "${qrio_pkgdir}/bin/${QRIO_PACKAGE_NAME}" SYMBOLIC)
install(FILES "${qrio_pkgdir}/bin/${QRIO_PACKAGE_NAME}" DESTINATION "${CMAKE_INSTALL_BINDIR}")

configure_file("${CMAKE_CURRENT_LIST_DIR}/${QRIO_PACKAGE_NAME}.desktop.in"
               "${qrio_pkgdir}/${QRIO_PACKAGE_NAME}.desktop" @ONLY)
install(FILES "${qrio_pkgdir}/${QRIO_PACKAGE_NAME}.desktop"
        DESTINATION "${CMAKE_INSTALL_DATADIR}/applications")
install(FILES "${CMAKE_CURRENT_LIST_DIR}/${QRIO_PACKAGE_NAME}.svg"
        DESTINATION "${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps")

# The AppStream metadata, its releases from CHANGELOG.md: this version and the
# older ones, an unreleased one dated by SOURCE_DATE_EPOCH (which
# string(TIMESTAMP) honours).
set(QRIO_METAINFO_ID com.quorvex.remoteio_firmware_updater)
file(STRINGS "${CMAKE_CURRENT_SOURCE_DIR}/CHANGELOG.md" qrio_sections REGEX "^## [^ ]+ \\([^)]+\\)$")
set(QRIO_METAINFO_RELEASES "")
foreach(section IN LISTS qrio_sections)
    string(REGEX REPLACE "^## ([^ ]+) \\(([^)]+)\\)$" "\\1;\\2" fields "${section}")
    list(GET fields 0 version)
    list(GET fields 1 date)
    if(version VERSION_GREATER PROJECT_VERSION)
        continue()
    endif()
    if(date STREQUAL "unreleased")
        string(TIMESTAMP date "%Y-%m-%d" UTC)
    endif()
    string(APPEND QRIO_METAINFO_RELEASES "    <release version=\"${version}\" date=\"${date}\"/>\n")
endforeach()
if(NOT QRIO_METAINFO_RELEASES MATCHES "version=\"${PROJECT_VERSION}\"")
    message(FATAL_ERROR "CHANGELOG.md has no section '## ${PROJECT_VERSION} (...)'")
endif()
configure_file("${CMAKE_CURRENT_LIST_DIR}/${QRIO_METAINFO_ID}.metainfo.xml.in"
               "${qrio_pkgdir}/${QRIO_METAINFO_ID}.metainfo.xml" @ONLY)
install(FILES "${qrio_pkgdir}/${QRIO_METAINFO_ID}.metainfo.xml"
        DESTINATION "${CMAKE_INSTALL_DATADIR}/metainfo")

# Documents: the copyright file, the changelog (Debian's format, made from
# CHANGELOG.md), the troubleshooting table as text and the manual page (with
# the support contact, packaging/install.cmake), compressed without names or
# times in the gzip header so that the package's bytes follow the sources
# only.
set(qrio_docdir "${CMAKE_INSTALL_DATADIR}/doc/${QRIO_PACKAGE_NAME}")
install(FILES "${CMAKE_CURRENT_LIST_DIR}/copyright" DESTINATION "${qrio_docdir}")
find_program(QRIO_GZIP gzip)
if(NOT QRIO_GZIP)
    message(FATAL_ERROR "gzip is needed for the manual page and the changelog")
endif()
execute_process(
    COMMAND sh "${CMAKE_CURRENT_LIST_DIR}/debian-changelog.sh" "${CMAKE_CURRENT_SOURCE_DIR}/CHANGELOG.md"
            "${QRIO_PACKAGE_NAME}" "${PROJECT_VERSION}" "${QRIO_MAINTAINER}"
    OUTPUT_FILE "${qrio_pkgdir}/changelog" RESULT_VARIABLE qrio_result)
if(NOT qrio_result EQUAL 0)
    message(FATAL_ERROR "packaging/debian-changelog.sh could not make the changelog of ${PROJECT_VERSION} from CHANGELOG.md")
endif()
configure_file("${CMAKE_CURRENT_SOURCE_DIR}/docs/${QRIO_PACKAGE_NAME}.1"
               "${qrio_pkgdir}/${QRIO_PACKAGE_NAME}.1" @ONLY)
qrio_troubleshooting_text("${CMAKE_CURRENT_SOURCE_DIR}/docs/troubleshooting.md"
                          "${qrio_pkgdir}/troubleshooting.txt")
foreach(doc changelog ${QRIO_PACKAGE_NAME}.1 troubleshooting.txt)
    execute_process(COMMAND "${QRIO_GZIP}" -n -9 -f "${doc}" WORKING_DIRECTORY "${qrio_pkgdir}"
                    RESULT_VARIABLE qrio_result)
    if(NOT qrio_result EQUAL 0)
        message(FATAL_ERROR "gzip of ${qrio_pkgdir}/${doc} failed")
    endif()
endforeach()
install(FILES "${qrio_pkgdir}/changelog.gz" "${qrio_pkgdir}/troubleshooting.txt.gz"
        DESTINATION "${qrio_docdir}")
install(FILES "${qrio_pkgdir}/${QRIO_PACKAGE_NAME}.1.gz" DESTINATION "${CMAKE_INSTALL_MANDIR}/man1")

# The maintainer scripts, with the folders filled in.
foreach(script postinst postrm)
    configure_file("${CMAKE_CURRENT_LIST_DIR}/${script}.in" "${qrio_pkgdir}/${script}" @ONLY)
endforeach()

# The Debian package. Its runtime dependencies (the Qt 5 libraries and what
# they and the C++ runtime need) are read from the program by dpkg-shlibdeps,
# so they follow whatever the build links.
set(CPACK_GENERATOR DEB)
set(CPACK_VERBATIM_VARIABLES ON)
set(CPACK_PACKAGE_NAME ${QRIO_PACKAGE_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "${QRIO_COMPANY}")
set(CPACK_PACKAGE_CONTACT "${QRIO_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${QRIO_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "loads firmware into a CANopen remote-IO module")
set(CPACK_PACKAGE_DESCRIPTION
"The window takes an Intel HEX file from the \"${QRIO_FIRMWARE_FOLDER}\" folder beside
the program, switches the module's CANopen node into boot mode through a
serial-to-CAN adapter on a COM port, writes the flash, reads it back,
compares, marks the firmware and returns the node to user mode.")
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The form is laid out for Arial; Liberation Sans has its metrics.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS fonts-liberation)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA "${qrio_pkgdir}/postinst;${qrio_pkgdir}/postrm")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Folders CPack makes while staging get Debian's modes whatever the umask.
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_STRIP_FILES ON)
# /var/lib and /usr/lib/<package> are outside one install prefix, so CPack
# stages through DESTDIR, with the prefix the build was configured for (the
# launcher's relative link depends on it): scripts/package.sh gives /usr.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX "${CMAKE_INSTALL_PREFIX}")
find_program(QRIO_DPKG dpkg)
if(QRIO_DPKG)
    execute_process(COMMAND ${QRIO_DPKG} --print-architecture
                    OUTPUT_VARIABLE CPACK_DEBIAN_PACKAGE_ARCHITECTURE
                    OUTPUT_STRIP_TRAILING_WHITESPACE)
else()
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE amd64)
endif()
set(CPACK_DEBIAN_FILE_NAME
    "${QRIO_EXE_NAME}_${PROJECT_VERSION}_${CPACK_DEBIAN_PACKAGE_ARCHITECTURE}.deb")
include(CPack)
