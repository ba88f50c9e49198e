# Included after every project() call through CMAKE_PROJECT_INCLUDE by
# scripts/build-windows.sh: writes the top-level project's VERSION into the
# build tree, so that the zip's name takes it from the one place it is set.
if(CMAKE_SOURCE_DIR STREQUAL PROJECT_SOURCE_DIR)
    file(WRITE "${CMAKE_BINARY_DIR}/project-version.txt" "${PROJECT_VERSION}\n")
endif()
