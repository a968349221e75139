# Man pages generated at build time from a program's own --help and --version
# with help2man, so the page never drifts from the program, and installed.
#
#   udptrans_man_page(<target> NAME "<one-line description>" [SECTION <n>])
#
# A cross build cannot run the program it builds, so it makes no page.
find_program(HELP2MAN_EXECUTABLE help2man)

function(udptrans_man_page target)
    cmake_parse_arguments(M "" "NAME;SECTION" "" ${ARGN})
    if(NOT M_SECTION)
        set(M_SECTION 1)
    endif()
    if(CMAKE_CROSSCOMPILING)
        return()
    endif()
    if(NOT HELP2MAN_EXECUTABLE)
        message(FATAL_ERROR "help2man is needed for the man page of ${target} (scripts/deps.sh)")
    endif()
    set(page ${CMAKE_BINARY_DIR}/man/man${M_SECTION}/${target}.${M_SECTION})
    add_custom_command(OUTPUT ${page}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man/man${M_SECTION}
        COMMAND ${HELP2MAN_EXECUTABLE} --no-info --no-discard-stderr
                --section=${M_SECTION} --name=${M_NAME} --output=${page}
                $<TARGET_FILE:${target}>
        DEPENDS ${target}
        COMMENT "Man page of ${target}"
        VERBATIM)
    add_custom_target(${target}-man ALL DEPENDS ${page})
    install(FILES ${page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${M_SECTION})
endfunction()
