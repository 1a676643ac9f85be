# How the libraries install: headers in a folder of their own, pkg-config files and a CMake
# package that find the prefix from where they lie (an installed tree can be moved or unpacked
# anywhere), programs that find the libraries beside them, and exports kept to each interface.

# Our headers carry generic names (qnplatform.h, exsmstatus.h); in a folder of their own they
# cannot clash with anything else in the prefix.
set(QN_INSTALL_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR}/quillon)

# The prefix as a pkg-config file sees it from its own folder, and the folders below it.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  set(QN_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
  set(QN_PC_LIBDIR "${CMAKE_INSTALL_LIBDIR}")
else()
  file(RELATIVE_PATH qn_pc_up "/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/")
  string(REGEX REPLACE "/$" "" qn_pc_up "${qn_pc_up}")
  set(QN_PC_PREFIX "\${pcfiledir}/${qn_pc_up}")
  set(QN_PC_LIBDIR "\${prefix}/${CMAKE_INSTALL_LIBDIR}")
endif()
if(IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
  set(QN_PC_INCLUDEDIR "${CMAKE_INSTALL_INCLUDEDIR}")
else()
  set(QN_PC_INCLUDEDIR "\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}")
endif()

# Installed programs look for the libraries relative to themselves, wherever the prefix is.
file(RELATIVE_PATH qn_bin_to_lib "${CMAKE_INSTALL_FULL_BINDIR}" "${CMAKE_INSTALL_FULL_LIBDIR}")
set(QN_INSTALL_RPATH "$ORIGIN/${qn_bin_to_lib}")

# qn_export_map(TARGET MAP): the shared library exports only the names the version script MAP
# lets out; everything else, the C++ runtime's template instances included, stays inside.
function(qn_export_map target map)
  target_link_options(${target} PRIVATE "LINKER:--version-script=${map}")
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${map})
endfunction()

# qn_install_library(TARGET PKGCONFIG file.pc.in HEADERS header...): installs the shared library
# into the CMake package, its headers and its pkg-config file.
function(qn_install_library target)
  cmake_parse_arguments(I "" "PKGCONFIG" "HEADERS" ${ARGN})
  target_include_directories(${target} INTERFACE $<INSTALL_INTERFACE:${QN_INSTALL_INCLUDEDIR}>)
  install(TARGETS ${target} EXPORT QuillonTargets LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
  install(FILES ${I_HEADERS} DESTINATION ${QN_INSTALL_INCLUDEDIR})
  configure_file(${I_PKGCONFIG} ${CMAKE_CURRENT_BINARY_DIR}/${target}.pc @ONLY)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/${target}.pc
          DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endfunction()

# qn_install_package(): find_package(Quillon CONFIG) with the imported targets Quillon::<library>
# of every library installed above. Called once, after the libraries are defined.
function(qn_install_package)
  include(CMakePackageConfigHelpers)
  set(dest ${CMAKE_INSTALL_LIBDIR}/cmake/Quillon)
  install(EXPORT QuillonTargets NAMESPACE Quillon:: DESTINATION ${dest})
  configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/QuillonConfig.cmake.in
                                ${PROJECT_BINARY_DIR}/QuillonConfig.cmake INSTALL_DESTINATION ${dest})
  write_basic_package_version_file(${PROJECT_BINARY_DIR}/QuillonConfigVersion.cmake
                                   VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
  install(FILES ${PROJECT_BINARY_DIR}/QuillonConfig.cmake
                ${PROJECT_BINARY_DIR}/QuillonConfigVersion.cmake
          DESTINATION ${dest})
endfunction()
