# GoogleTest for a cross build. The build machine's libgtest is built for the
# build machine's architecture, so a cross build compiles GoogleTest from the
# sources Debian ships (package googletest, /usr/src/googletest) with the
# target's compiler, inside this build tree. It provides the same targets as
# find_package(GTest): GTest::gtest and GTest::gtest_main.
set(UDPTRANS_GTEST_SOURCE_DIR /usr/src/googletest/googletest CACHE PATH
    "GoogleTest sources compiled for the target in a cross build")
if(NOT EXISTS ${UDPTRANS_GTEST_SOURCE_DIR}/CMakeLists.txt)
    message(FATAL_ERROR "GoogleTest sources not found in ${UDPTRANS_GTEST_SOURCE_DIR}: "
        "install the Debian package googletest (scripts/deps.sh does).")
endif()

# Test-only code: never installed, never packaged, built only for the tests.
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(gtest_build_tests OFF CACHE BOOL "" FORCE)
set(gtest_build_samples OFF CACHE BOOL "" FORCE)
add_subdirectory(${UDPTRANS_GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/_deps/googletest EXCLUDE_FROM_ALL)

# googletest's own CMake names them GTest::gtest/GTest::gtest_main as aliases;
# older sources did not, so make sure both names exist.
foreach(_lib gtest gtest_main)
    if(NOT TARGET GTest::${_lib})
        add_library(GTest::${_lib} ALIAS ${_lib})
    endif()
endforeach()

# Tests that start the host program as a child process cannot execute an
# AArch64 program directly: the emulator runs the test, but a spawned program
# goes to the build machine's kernel, which has no handler for it (no
# binfmt_misc registration is assumed). This wrapper script is a program the
# kernel can run; it starts udptrans-host under the same emulator. Tests use
# UDPTRANS_HOST_LAUNCH_PATH instead of $<TARGET_FILE:udptrans-host> in a cross
# build; it takes the same arguments.
if(CMAKE_CROSSCOMPILING_EMULATOR)
    set(UDPTRANS_HOST_LAUNCH_PATH ${CMAKE_BINARY_DIR}/bin/udptrans-host-emu)
    list(JOIN CMAKE_CROSSCOMPILING_EMULATOR "\" \"" _udptrans_emu_words)
    file(GENERATE OUTPUT ${UDPTRANS_HOST_LAUNCH_PATH}
        CONTENT "#!/bin/sh\n# Runs the AArch64 host program under user-mode emulation.\nexec \"${_udptrans_emu_words}\" \"$<$<TARGET_EXISTS:udptrans-host>:$<TARGET_FILE:udptrans-host>>\" \"$@\"\n"
        CONDITION $<TARGET_EXISTS:udptrans-host>
        FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endif()
