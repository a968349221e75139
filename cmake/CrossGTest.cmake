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
