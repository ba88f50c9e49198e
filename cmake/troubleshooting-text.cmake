# qrio_troubleshooting_text(IN OUT): docs/troubleshooting.md as a plain text
# for Notepad and zless: the text above the table as it is, and each row of
# the table a paragraph of its own (what you see; then, indented, what it
# means and what to do), so that no line holds a whole row. The cells hold
# no "|", the table's only separator.
function(qrio_troubleshooting_text in out)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${in}")
    file(READ "${in}" text)
    string(REPLACE "\r\n" "\n" text "${text}")
    string(REGEX REPLACE "\n\\|[^\n]*\n\\|---[-|]*\n" "\n" text "${text}")
    string(REGEX REPLACE "\n\\| ([^|\n]*) \\| ([^|\n]*) \\| ([^|\n]*) \\|"
           "\n\n\\1\n    Means: \\2\n    Do: \\3" text "${text}")
    file(WRITE "${out}" "${text}")
endfunction()
