# qrio_read_source_list(<list file> <platform> <variable>): the files named in
# a list such as cmake/serial-sources.txt, as absolute paths: the lines with
# no tag and those tagged "<platform>:". Comment lines start with '#'. The
# list is read at configure time; a change to it configures again.
function(qrio_read_source_list list platform variable)
    set(list_file ${PROJECT_SOURCE_DIR}/${list})
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${list_file})
    file(STRINGS ${list_file} lines REGEX "^[^#]")
    set(files)
    foreach(line ${lines})
        string(STRIP "${line}" line)
        if(line MATCHES "^([a-z]+):[ \t]*(.+)$")
            if(CMAKE_MATCH_1 STREQUAL platform)
                list(APPEND files ${PROJECT_SOURCE_DIR}/${CMAKE_MATCH_2})
            endif()
        elseif(line)
            list(APPEND files ${PROJECT_SOURCE_DIR}/${line})
        endif()
    endforeach()
    set(${variable} ${files} PARENT_SCOPE)
endfunction()
