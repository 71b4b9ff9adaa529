# Small helpers shared by the target definitions of every folder.

# pelorin_add_gtest(<target> SOURCES ... LIBS ...): a GoogleTest program that
# runs under Wine (through the cross-compiling emulator) as one ctest entry.
function(pelorin_add_gtest target)
    cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
    add_executable(${target} ${ARG_SOURCES})
    target_link_libraries(${target} PRIVATE ${ARG_LIBS} pelorin_test_main pelorin_warnings)
    add_test(NAME ${target} COMMAND ${target})
    set_tests_properties(${target} PROPERTIES TIMEOUT 900)
endfunction()

# pelorin_wine_path(<var> <unix path>): the path as a Windows program under
# Wine sees it (drive Z: is the Unix root).
function(pelorin_wine_path var path)
    string(REPLACE "/" "\\" windows "${path}")
    set(${var} "Z:${windows}" PARENT_SCOPE)
endfunction()
