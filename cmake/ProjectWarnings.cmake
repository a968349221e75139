# One place for the warning set of our own targets. Third-party code (GoogleTest,
# Google Benchmark) is consumed as imported targets and never sees -Werror, and
# -Werror itself comes only with UDPTRANS_WERROR (on in our presets and CI).
function(udptrans_warnings target)
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wshadow
        $<$<BOOL:${UDPTRANS_WERROR}>:-Werror>)
endfunction()

# Hidden by default: only what the version script / export macro names leaves a
# shared object.
function(udptrans_hidden target)
    set_target_properties(${target} PROPERTIES
        CXX_VISIBILITY_PRESET hidden
        C_VISIBILITY_PRESET hidden
        VISIBILITY_INLINES_HIDDEN ON
        POSITION_INDEPENDENT_CODE ON)
endfunction()

# A GoogleTest binary registered with CTest. Every test gets a timeout so a hung
# socket wait fails the run instead of eating CI's budget.
function(udptrans_gtest name)
    cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS;LABELS;PROPERTIES" ${ARGN})
    if(NOT T_TIMEOUT)
        set(T_TIMEOUT 120)
    endif()
    add_executable(${name} ${T_SOURCES})
    udptrans_warnings(${name})
    target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main Threads::Threads)
    # Listed at test time, not build time: the build never runs a binary (a
    # cross build runs them under the emulator only when tests run).
    gtest_discover_tests(${name}
        DISCOVERY_MODE PRE_TEST
        DISCOVERY_TIMEOUT 60
        PROPERTIES TIMEOUT ${T_TIMEOUT} LABELS "${T_LABELS}" ${T_PROPERTIES})
endfunction()
