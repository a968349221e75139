# Binary packages with CPack: a .deb and a .tar.gz of what Install.cmake lays
# out, for the architecture this tree is built for (amd64 natively, arm64 with
# cmake/toolchain-aarch64.cmake). scripts/package.sh drives it:
#
#   scripts/package.sh arm64   ->  build/packages/udptrans_<ver>_arm64.deb
#                                  build/packages/udptrans-<ver>-Linux-arm64.tar.gz
#
# The .deb installs under /opt/udptrans: libalgo.so here is a stand-in of the
# camera framework's library of the same name, which must not land in the
# system's library path beside the real one. The programs and libraries find
# each other through their relative RPATH, so no ld.so configuration is needed.
# The .tar.gz holds the same tree under one top folder, to unpack anywhere.

# Debian's architecture name of the target, not of the build machine.
function(udptrans_debian_arch out)
    set(arch "")
    if(NOT CMAKE_CROSSCOMPILING)
        find_program(UDPTRANS_DPKG dpkg)
        if(UDPTRANS_DPKG)
            execute_process(COMMAND ${UDPTRANS_DPKG} --print-architecture
                OUTPUT_VARIABLE arch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
        endif()
    endif()
    if(NOT arch)
        string(TOLOWER "${CMAKE_SYSTEM_PROCESSOR}" proc)
        if(proc MATCHES "^(aarch64|arm64)$")
            set(arch arm64)
        elseif(proc MATCHES "^(x86_64|amd64)$")
            set(arch amd64)
        elseif(proc MATCHES "^arm")
            set(arch armhf)
        elseif(proc MATCHES "^i.86$")
            set(arch i386)
        else()
            set(arch ${proc})
        endif()
    endif()
    set(${out} ${arch} PARENT_SCOPE)
endfunction()
udptrans_debian_arch(UDPTRANS_PACKAGE_ARCH)

set(CPACK_PACKAGE_NAME udptrans)
set(CPACK_PACKAGE_VENDOR "udptrans developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "UDP output stage plug-in module for a smart camera's processing chain")
set(CPACK_PACKAGE_DESCRIPTION
    "libudptrans.so sends each processed frame's result block as one UDP datagram, keeps a \
heartbeat on an idle link, offers scheduled transmission for triggered acquisition and hands \
received texts to the application's communication proxy. It also exports a small C runtime \
library (logging, ring buffer, redirection, clocks, address and socket helpers). The package \
holds the module with its parameter description, the host framework library libalgo.so, the \
host program udptrans-host, the public headers and a CMake package configuration.")
set(CPACK_PACKAGE_CONTACT "udptrans developers <udptrans@localhost>")
set(CPACK_PACKAGE_FILE_NAME "${CPACK_PACKAGE_NAME}-${PROJECT_VERSION}-Linux-${UDPTRANS_PACKAGE_ARCH}")
set(CPACK_GENERATOR "DEB;TGZ")
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
# The target's strip (CMake picks aarch64-linux-gnu-strip in a cross build).
set(CPACK_STRIP_FILES ON)
# The tree has one component; packages hold everything installed.
set(CPACK_DEB_COMPONENT_INSTALL OFF)
set(CPACK_ARCHIVE_COMPONENT_INSTALL OFF)

set(UDPTRANS_DEB_PREFIX /opt/udptrans)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${UDPTRANS_PACKAGE_ARCH})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# What the objects need at run time: glibc (pthread and dl live in libc since
# 2.34, which the GLIBC_2.34 symbol versions of the build pin) and the GCC 12
# C++ runtime the objects were compiled against. dpkg-shlibdeps cannot work this
# out in a cross build (it knows only the build machine's libraries), so the
# list is written out; scripts/package.sh checks the symbol versions against it.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.34), libstdc++6 (>= 12), libgcc-s1")
# udptrans-monitor writes capture files through libpcap. A cross build for the
# camera leaves the monitor out, and with it the dependency.
if(NOT CMAKE_CROSSCOMPILING)
    string(APPEND CPACK_DEBIAN_PACKAGE_DEPENDS ", libpcap0.8 (>= 1.10)")
endif()
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# Debian's place for the licence is /usr/share/doc/<package>/copyright, outside
# the package's prefix, so it is not an install rule (`cmake --install` into a
# prefix must not write there): the .deb's staging tree gets it just before
# CPack packs it. The tree itself carries LICENSE in share/doc/udptrans.
set(UDPTRANS_DEB_COPYRIGHT ${CMAKE_BINARY_DIR}/debian/copyright)
file(READ ${CMAKE_SOURCE_DIR}/LICENSE _udptrans_license)
string(REGEX MATCH "^[^\n]*" _udptrans_license_name "${_udptrans_license}")
string(REGEX MATCH "Copyright \\(c\\) [^\n]*" _udptrans_license_holder "${_udptrans_license}")
string(REGEX REPLACE "^Copyright \\(c\\) " "" _udptrans_license_holder "${_udptrans_license_holder}")
string(REGEX REPLACE " License$" "" _udptrans_license_name "${_udptrans_license_name}")
# Machine-readable copyright format: the licence text indented by one blank,
# an empty line written as " .".
string(REGEX REPLACE "\n$" "" _udptrans_license "${_udptrans_license}")
string(REPLACE "\n" "\n " _udptrans_license "${_udptrans_license}")
string(REPLACE "\n \n" "\n .\n" _udptrans_license "${_udptrans_license}")
string(REPLACE "\n \n" "\n .\n" _udptrans_license "${_udptrans_license}")
file(WRITE ${UDPTRANS_DEB_COPYRIGHT} "\
Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: udptrans

Files: *
Copyright: ${_udptrans_license_holder}
License: ${_udptrans_license_name}
 ${_udptrans_license}
")

# The .deb must not list /opt itself: no Debian package owns /opt, so the one
# that lists it is its only owner and `dpkg -r` warns that it cannot remove the
# (not empty) folder. CPack always writes every parent folder into the data
# archive; the entry is taken out of the built package afterwards, and the
# preinst makes sure /opt exists on a system that lacks it.
set(UDPTRANS_DEB_PREINST ${CMAKE_BINARY_DIR}/debian/preinst)
file(WRITE ${UDPTRANS_DEB_PREINST} "#!/bin/sh\nset -e\nmkdir -p /opt\n")
file(CHMOD ${UDPTRANS_DEB_PREINST} PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${UDPTRANS_DEB_PREINST})

set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_BINARY_DIR}/UdptransCPackPreBuild.cmake)
file(WRITE ${CPACK_PRE_BUILD_SCRIPTS} "\
if(CPACK_GENERATOR STREQUAL \"DEB\")
    # file(COPY), not file(INSTALL): the staging install's DESTDIR must not
    # be put in front of the staging folder a second time.
    file(COPY \"${UDPTRANS_DEB_COPYRIGHT}\"
        DESTINATION \"\${CPACK_TEMPORARY_INSTALL_DIRECTORY}/usr/share/doc/udptrans\"
        FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
endif()
")

find_program(UDPTRANS_AR NAMES ar)
find_program(UDPTRANS_TAR NAMES tar)
find_program(UDPTRANS_GZIP NAMES gzip)
set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_BINARY_DIR}/UdptransCPackPostBuild.cmake)
file(WRITE ${CPACK_POST_BUILD_SCRIPTS} "\
# Rewrites each .deb without the data archive's ./opt/ entry; the members
# keep their order (debian-binary, control, data), as dpkg requires.
foreach(deb IN LISTS CPACK_PACKAGE_FILES)
    if(NOT deb MATCHES \"[.]deb$\")
        continue()
    endif()
    set(dir \"\${deb}.rewrite\")
    file(REMOVE_RECURSE \"\${dir}\")
    file(MAKE_DIRECTORY \"\${dir}\")
    execute_process(COMMAND \"${UDPTRANS_AR}\" x \"\${deb}\" WORKING_DIRECTORY \"\${dir}\"
        COMMAND_ERROR_IS_FATAL ANY)
    execute_process(COMMAND \"${UDPTRANS_AR}\" t \"\${deb}\" OUTPUT_VARIABLE members
        OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
    string(REPLACE \"\\n\" \";\" members \"\${members}\")
    if(NOT \"data.tar.gz\" IN_LIST members)
        message(FATAL_ERROR \"\${deb}: no data.tar.gz among \${members}\")
    endif()
    # Unpacked and packed again from the same list of entries less ./opt/,
    # owners and modes as they were.
    execute_process(COMMAND \"${UDPTRANS_TAR}\" -tzf data.tar.gz WORKING_DIRECTORY \"\${dir}\"
        OUTPUT_VARIABLE entries COMMAND_ERROR_IS_FATAL ANY)
    string(REPLACE \"\\n./opt/\\n\" \"\\n\" kept \"\\n\${entries}\")
    if(kept STREQUAL \"\\n\${entries}\")
        message(FATAL_ERROR \"\${deb}: no ./opt/ entry in its data archive\")
    endif()
    string(SUBSTRING \"\${kept}\" 1 -1 kept)
    file(WRITE \"\${dir}/entries\" \"\${kept}\")
    file(MAKE_DIRECTORY \"\${dir}/root\")
    execute_process(COMMAND \"${UDPTRANS_TAR}\" -xpzf ../data.tar.gz
        WORKING_DIRECTORY \"\${dir}/root\" COMMAND_ERROR_IS_FATAL ANY)
    file(REMOVE \"\${dir}/data.tar.gz\")
    execute_process(COMMAND \"${UDPTRANS_TAR}\" -cf ../data.tar --no-recursion -T ../entries
        --owner=root:0 --group=root:0 --format=gnu
        WORKING_DIRECTORY \"\${dir}/root\" COMMAND_ERROR_IS_FATAL ANY)
    execute_process(COMMAND \"${UDPTRANS_GZIP}\" -n -9 data.tar WORKING_DIRECTORY \"\${dir}\"
        COMMAND_ERROR_IS_FATAL ANY)
    file(REMOVE \"\${deb}\")
    execute_process(COMMAND \"${UDPTRANS_AR}\" rcD \"\${deb}\" \${members}
        WORKING_DIRECTORY \"\${dir}\" COMMAND_ERROR_IS_FATAL ANY)
    file(REMOVE_RECURSE \"\${dir}\")
endforeach()
")

# Per-generator settings that CPack reads when it runs: the .deb installs
# under its prefix, the archive keeps the tree relative under its top folder.
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_BINARY_DIR}/UdptransCPackOptions.cmake)
file(WRITE ${CPACK_PROJECT_CONFIG_FILE} "\
if(CPACK_GENERATOR STREQUAL \"DEB\")
    set(CPACK_PACKAGING_INSTALL_PREFIX \"${UDPTRANS_DEB_PREFIX}\")
else()
    set(CPACK_PACKAGING_INSTALL_PREFIX \"/\")
endif()
")

include(CPack)
