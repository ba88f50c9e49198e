# The window answers a desktop's ping throughout an update: the shipped
# program and canopen-node-sim, each as its own process, on a virtual
# display of the check's own (Xvfb -displayfd), so it runs beside the other
# tests. Skipped where Xvfb or xdotool is missing; not built without the
# XCB headers (Debian package libxcb1-dev).
find_path(QRIO_XCB_INCLUDE_DIR xcb/xcb.h)
find_library(QRIO_XCB_LIBRARY xcb)
if(QRIO_XCB_INCLUDE_DIR AND QRIO_XCB_LIBRARY)
    add_executable(window_ping
        ${CMAKE_CURRENT_SOURCE_DIR}/desktop/windowping.cpp
        ${CMAKE_CURRENT_SOURCE_DIR}/desktop/wmping.h
        ${CMAKE_CURRENT_SOURCE_DIR}/desktop/wmping.cpp)
    target_include_directories(window_ping PRIVATE ${QRIO_XCB_INCLUDE_DIR})
    target_link_libraries(window_ping PRIVATE qrio_testsupport ${QRIO_XCB_LIBRARY})
    set_target_properties(window_ping PROPERTIES AUTOUIC_SEARCH_PATHS ${PROJECT_SOURCE_DIR}/app)
    target_compile_definitions(window_ping PRIVATE
        QRIO_PROGRAM="$<TARGET_FILE:${QRIO_EXE_NAME}>"
        QRIO_NODESIM="$<TARGET_FILE:canopen-node-sim>")
    add_dependencies(window_ping ${QRIO_EXE_NAME} canopen-node-sim)
    qrio_warnings(window_ping)
    add_test(NAME window_ping COMMAND window_ping)
    # The check's own process keeps the toolkit's X connection and fonts
    # until it exits; leaks are the other tests' business (the program under
    # test ends by SIGTERM, without a leak check, either way).
    set_tests_properties(window_ping PROPERTIES SKIP_RETURN_CODE 77
        ENVIRONMENT "ASAN_OPTIONS=detect_leaks=0:abort_on_error=0")
else()
    message(STATUS "window_ping not built: no XCB headers (Debian package libxcb1-dev)")
endif()
