# Install rules: `cmake --install <build> --prefix <dir>` lays out
#
#   <prefix>/lib/libudptrans.so        the plug-in module and C runtime library
#   <prefix>/lib/udptrans.pdesc        its parameter description, beside it
#   <prefix>/lib/libalgo.so            the host framework library
#   <prefix>/bin/udptrans-host         the host program
#   <prefix>/include/algo/*.h          framework headers modules build against
#   <prefix>/include/udptrans/udptrans_api.h   the exported C API
#   <prefix>/include/udptrans/udptrans_host.h  the host contract (keys, codes,
#                                      defaults), with udptrans_version.h
#   <prefix>/lib/cmake/udptrans/       package config for find_package(udptrans)
#   <prefix>/lib/pkgconfig/udptrans.pc the same for pkg-config
#   <prefix>/share/doc/udptrans/       LICENSE, writing-a-host.md and
#                                      examples/minimal_host/
#
# Plain lib/ and bin/ rather than GNUInstallDirs' multiarch lib/<triple>: the
# framework finds the description beside the module, and the programs find
# their libraries through a RPATH relative to themselves, so the tree must keep
# this shape wherever it is unpacked (a package prefix, a device's flash).
include(CMakePackageConfigHelpers)

set(UDPTRANS_INSTALL_BINDIR bin)
set(UDPTRANS_INSTALL_LIBDIR lib)
set(UDPTRANS_INSTALL_INCLUDEDIR include)
set(UDPTRANS_INSTALL_CMAKEDIR ${UDPTRANS_INSTALL_LIBDIR}/cmake/udptrans)

# Relocatable: $ORIGIN is the folder of the object being loaded. The program
# looks in ../lib; the libraries look beside themselves, which is what lets a
# host that dlopens libudptrans.so by path resolve its libalgo.so dependency
# (a RUNPATH applies only to the object that carries it).
set(_udptrans_lib_rpath "$ORIGIN")

set(_udptrans_export_targets algo udptrans)
set_target_properties(${_udptrans_export_targets} PROPERTIES INSTALL_RPATH "${_udptrans_lib_rpath}")
install(TARGETS ${_udptrans_export_targets}
    EXPORT udptransTargets
    LIBRARY DESTINATION ${UDPTRANS_INSTALL_LIBDIR}
    RUNTIME DESTINATION ${UDPTRANS_INSTALL_BINDIR}
    INCLUDES DESTINATION ${UDPTRANS_INSTALL_INCLUDEDIR})

install(FILES ${CMAKE_SOURCE_DIR}/module/udptrans.pdesc
    DESTINATION ${UDPTRANS_INSTALL_LIBDIR})

# The host program's install rule and its RPATH ($ORIGIN/../lib) are apps/host_program/'s own.

# Public headers: the framework's, for building modules against libalgo, and
# the C API of the runtime library. Internal headers (UtLog.h, the layers'
# class headers) stay out.
install(DIRECTORY ${CMAKE_SOURCE_DIR}/host/include/algo
    DESTINATION ${UDPTRANS_INSTALL_INCLUDEDIR}
    FILES_MATCHING PATTERN "*.h")
install(FILES ${CMAKE_SOURCE_DIR}/common/include/udptrans/udptrans_api.h
    DESTINATION ${UDPTRANS_INSTALL_INCLUDEDIR}/udptrans)
# What a host needs to drive the module, and the version of this tree.
install(FILES
    ${CMAKE_SOURCE_DIR}/module/include/udptrans/udptrans_host.h
    ${CMAKE_BINARY_DIR}/include/udptrans/udptrans_version.h
    DESTINATION ${UDPTRANS_INSTALL_INCLUDEDIR}/udptrans)

# The integrator's kit: the licence, the guide to writing a host and the
# example host it quotes, as a project of its own that builds against this
# installed tree.
set(UDPTRANS_INSTALL_DOCDIR share/doc/udptrans)
install(FILES ${CMAKE_SOURCE_DIR}/LICENSE ${CMAKE_SOURCE_DIR}/docs/writing-a-host.md
    DESTINATION ${UDPTRANS_INSTALL_DOCDIR})
install(FILES
    ${CMAKE_SOURCE_DIR}/examples/minimal_host/CMakeLists.txt
    ${CMAKE_SOURCE_DIR}/examples/minimal_host/main.cpp
    DESTINATION ${UDPTRANS_INSTALL_DOCDIR}/examples/minimal_host)

# pkg-config: the prefix is worked out from where the .pc file lies, so the
# tree stays relocatable.
configure_file(${CMAKE_SOURCE_DIR}/cmake/udptrans.pc.in
    ${CMAKE_CURRENT_BINARY_DIR}/udptrans.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/udptrans.pc
    DESTINATION ${UDPTRANS_INSTALL_LIBDIR}/pkgconfig)

# find_package(udptrans) for another project: imported targets udptrans::algo
# (to build a module) and udptrans::udptrans (the C runtime library).
install(EXPORT udptransTargets
    NAMESPACE udptrans::
    DESTINATION ${UDPTRANS_INSTALL_CMAKEDIR})
set(_udptrans_config_in ${CMAKE_CURRENT_BINARY_DIR}/udptransConfig.cmake.in)
file(WRITE ${_udptrans_config_in} [=[
@PACKAGE_INIT@
include(CMakeFindDependencyMacro)
find_dependency(Threads)
include("${CMAKE_CURRENT_LIST_DIR}/udptransTargets.cmake")
check_required_components(udptrans)
]=])
configure_package_config_file(${_udptrans_config_in}
    ${CMAKE_CURRENT_BINARY_DIR}/udptransConfig.cmake
    INSTALL_DESTINATION ${UDPTRANS_INSTALL_CMAKEDIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/udptransConfigVersion.cmake
    VERSION ${PROJECT_VERSION}
    COMPATIBILITY SameMajorVersion)
install(FILES
    ${CMAKE_CURRENT_BINARY_DIR}/udptransConfig.cmake
    ${CMAKE_CURRENT_BINARY_DIR}/udptransConfigVersion.cmake
    DESTINATION ${UDPTRANS_INSTALL_CMAKEDIR})

include(Packaging)
