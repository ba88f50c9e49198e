# The window shows "Software Version: <x.y>" as fixed text in its form. The
# version is written once, in project(VERSION); the form's copy is checked
# against it here so that the two cannot drift apart.
#
# qrio_check_form_version(FORM VERSION): stops configure with a message naming
# both when the form's label does not read "Software Version: VERSION".
# Also runs as a script: cmake -DFORM=<file.ui> -DVERSION=<x.y> -P form-version.cmake
function(qrio_check_form_version form version)
    file(STRINGS "${form}" labels REGEX "Software Version: ")
    if(NOT labels)
        message(FATAL_ERROR "${form} has no label \"Software Version: ...\"; "
                            "the window should show the version (${version})")
    endif()
    list(GET labels 0 label)
    string(REGEX REPLACE ".*Software Version: ([^<]*).*" "\\1" form_version "${label}")
    string(STRIP "${form_version}" form_version)
    if(NOT form_version STREQUAL version)
        message(FATAL_ERROR "Version mismatch: the window's label in ${form} reads "
                            "\"Software Version: ${form_version}\" but project(VERSION) in "
                            "CMakeLists.txt is ${version}. Change the label to "
                            "\"Software Version: ${version}\" (or the project version) so that they agree.")
    endif()
endfunction()

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
    qrio_check_form_version("${FORM}" "${VERSION}")
    message("form version ${VERSION}: OK")
endif()
