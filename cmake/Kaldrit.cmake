# Project-wide compile options and the two helpers every folder uses to declare its
# libraries and tests, so a folder's CMakeLists.txt reads as a list of its concepts.

add_compile_options(-Wall -Wextra -Werror -Wno-unused-parameter -Wno-missing-field-initializers
                    -Wno-invalid-offsetof)

if(KALDRIT_SANITIZE)
    add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer
                        -fno-sanitize-recover=undefined)
    add_link_options(-fsanitize=address,undefined)
    add_compile_definitions(KALDRIT_SANITIZE=1)
endif()

# kaldrit_library(NAME SOURCES a.cpp b.cpp DEPS other_lib ...)
function(kaldrit_library name)
    cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
    add_library(${name} STATIC ${ARG_SOURCES})
    target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
    target_link_libraries(${name} PUBLIC ${ARG_DEPS})
endfunction()

# kaldrit_test(NAME SOURCES a_test.cpp ... DEPS lib ...): one gtest binary, its cases
# registered with ctest one by one.
function(kaldrit_test name)
    cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
    add_executable(${name} ${ARG_SOURCES})
    target_link_libraries(${name} PRIVATE ${ARG_DEPS} GTest::gtest GTest::gtest_main GTest::gmock)
    gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST)
endfunction()
