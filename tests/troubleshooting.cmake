# Every text the program shows (its message boxes, the cause lines of a
# failed open, the loader's texts) has its row in docs/troubleshooting.md:
# tests/docs/troubleshooting_rows.py takes the texts from the sources, so a
# box cannot be added or reworded without the table following.
find_package(Python3 COMPONENTS Interpreter)
if(Python3_Interpreter_FOUND)
    add_test(NAME docs_troubleshooting
             COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/docs/troubleshooting_rows.py
                     ${PROJECT_SOURCE_DIR})
endif()
