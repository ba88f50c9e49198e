# The Windows program's resources, added to TARGET by qrio_windows_resources():
#   - its icon, rendered at build time from the same drawing as the Debian
#     package's SVG into one .ico of QRIO_ICON_SIZES (256 px kept as PNG),
#   - its version information, from project(VERSION) and the names of
#     cmake/names.cmake,
#   - its manifest (app/windows/*.manifest.in).
# Needs rsvg-convert (Debian package librsvg2-bin) and icotool (icoutils), or
# an .ico made elsewhere given as QRIO_WINDOWS_ICO (for machines without them).

# The icon's sizes in pixels (scripts/test-windows-resources.sh reads them).
set(QRIO_ICON_SIZES 16 24 32 48 64 128 256)

# qrio_render_windows_icon(SVG DIR ICO): a build rule for ICO, rendered from
# SVG at every size of QRIO_ICON_SIZES (the PNGs go into DIR).
function(qrio_render_windows_icon svg dir ico)
    find_program(QRIO_RSVG_CONVERT rsvg-convert)
    find_program(QRIO_ICOTOOL icotool)
    if(NOT QRIO_RSVG_CONVERT OR NOT QRIO_ICOTOOL)
        message(FATAL_ERROR "The Windows icon is rendered from ${svg} by rsvg-convert "
                            "(Debian package librsvg2-bin) and icotool (icoutils): install them, "
                            "or give a ready .ico as -DQRIO_WINDOWS_ICO=<file>")
    endif()
    set(render)
    set(pngs)
    foreach(size IN LISTS QRIO_ICON_SIZES)
        set(png "${dir}/icon-${size}.png")
        list(APPEND render COMMAND "${QRIO_RSVG_CONVERT}" -w ${size} -h ${size} -o "${png}" "${svg}")
        # Windows reads the largest as PNG; the smaller ones as bitmaps suit
        # every reader.
        if(size GREATER_EQUAL 256)
            list(APPEND pngs "--raw=${png}")
        else()
            list(APPEND pngs "${png}")
        endif()
    endforeach()
    add_custom_command(OUTPUT "${ico}"
        COMMAND "${CMAKE_COMMAND}" -E make_directory "${dir}"
        ${render}
        COMMAND "${QRIO_ICOTOOL}" -c -o "${ico}" ${pngs}
        DEPENDS "${svg}"
        COMMENT "Rendering the Windows icon"
        VERBATIM)
endfunction()

function(qrio_windows_resources target)
    enable_language(RC)
    set(svg "${PROJECT_SOURCE_DIR}/packaging/${QRIO_PACKAGE_NAME}.svg")
    set(dir "${CMAKE_CURRENT_BINARY_DIR}/windows")
    set(QRIO_ICO "${dir}/${target}.ico")
    set(QRIO_MANIFEST "${dir}/${target}.manifest")
    set(QRIO_EXE_BASE ${target})

    set(QRIO_WINDOWS_ICO "" CACHE FILEPATH
        "A ready .ico for the program; empty: rendered from the SVG at build time")
    if(QRIO_WINDOWS_ICO)
        set(QRIO_ICO "${QRIO_WINDOWS_ICO}")
    else()
        qrio_render_windows_icon("${svg}" "${dir}" "${QRIO_ICO}")
    endif()

    # Four numbers for the binary fields: 1.1 -> 1,1,0,0.
    set(quad)
    foreach(part MAJOR MINOR PATCH TWEAK)
        if("${PROJECT_VERSION_${part}}" STREQUAL "")
            list(APPEND quad 0)
        else()
            list(APPEND quad ${PROJECT_VERSION_${part}})
        endif()
    endforeach()
    string(REPLACE ";" "," QRIO_VERSION_COMMAS "${quad}")
    string(REPLACE ";" "." QRIO_VERSION_QUAD "${quad}")
    # The commit's year when SOURCE_DATE_EPOCH is set (scripts/build-windows.sh
    # sets it), so the same commit always gives the same line.
    string(TIMESTAMP QRIO_COPYRIGHT_YEAR "%Y" UTC)

    configure_file("${PROJECT_SOURCE_DIR}/app/windows/${target}.manifest.in" "${QRIO_MANIFEST}" @ONLY)
    configure_file("${PROJECT_SOURCE_DIR}/app/windows/${target}.rc.in" "${dir}/${target}.rc" @ONLY)
    set_source_files_properties("${dir}/${target}.rc" PROPERTIES
        OBJECT_DEPENDS "${QRIO_ICO};${QRIO_MANIFEST}")

    # A library of its own, so that windres sees none of the program's
    # compile definitions; its object is linked into the program directly.
    add_library(${target}_resources OBJECT "${dir}/${target}.rc" "${QRIO_ICO}")
    set_target_properties(${target}_resources PROPERTIES AUTOMOC OFF AUTOUIC OFF AUTORCC OFF)
    target_link_libraries(${target} PRIVATE ${target}_resources)
    if(MSVC)
        # The manifest is in the .rc; the linker's own would be a second one.
        target_link_options(${target} PRIVATE /MANIFEST:NO)
    endif()
endfunction()
