# The HEX loader's fuzz target. In every build its seed corpus runs once as a
# plain test (hexfuzz_corpus, no libFuzzer needed). With -DQRIO_FUZZ=ON and
# clang the libFuzzer binary fuzz_hexloader is defined as well; scripts/fuzz.sh
# configures such a build, builds only that target and runs it.

set(QRIO_HEXFUZZ_DIR ${CMAKE_CURRENT_SOURCE_DIR}/fuzz)

add_executable(hexfuzz_corpus
    ${QRIO_HEXFUZZ_DIR}/fuzz_hexloader.cpp
    ${QRIO_HEXFUZZ_DIR}/corpus_main.cpp
    ${PROJECT_SOURCE_DIR}/firmware/hexparser.cpp)
target_include_directories(hexfuzz_corpus PRIVATE ${PROJECT_SOURCE_DIR})
set_target_properties(hexfuzz_corpus PROPERTIES AUTOMOC OFF AUTOUIC OFF)
qrio_warnings(hexfuzz_corpus)
# GCC 12 with the sanitizers sees false "may be used uninitialized" in <regex>.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    target_compile_options(hexfuzz_corpus PRIVATE -Wno-maybe-uninitialized)
endif()
add_test(NAME hexfuzz_corpus COMMAND hexfuzz_corpus ${QRIO_HEXFUZZ_DIR}/corpus)

if(QRIO_FUZZ AND CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    add_executable(fuzz_hexloader
        ${QRIO_HEXFUZZ_DIR}/fuzz_hexloader.cpp
        ${PROJECT_SOURCE_DIR}/firmware/hexparser.cpp)
    target_include_directories(fuzz_hexloader PRIVATE ${PROJECT_SOURCE_DIR})
    set_target_properties(fuzz_hexloader PROPERTIES AUTOMOC OFF AUTOUIC OFF)
    # -O1 over the build type's level: fast enough to fuzz, still readable
    # in the sanitizers' reports. Any undefined behaviour stops the run.
    target_compile_options(fuzz_hexloader PRIVATE -g -O1 -fno-omit-frame-pointer
        -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined)
    target_link_options(fuzz_hexloader PRIVATE -fsanitize=fuzzer,address,undefined)
    qrio_warnings(fuzz_hexloader)
endif()
