# SPDX-License-Identifier: LGPL-2.1-or-later
# The files that let programs and plug-ins outside this tree build against an
# installation: pkg-config files (relocatable: paths are relative to the .pc
# file) and the CMake package kovkit (kovkitConfig.cmake, targets kovkit::*).
include(CMakePackageConfigHelpers)

set(KOV_PKGCONFIG_INSTALL_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
file(RELATIVE_PATH KOV_PC_PREFIX_FROM_PCDIR
  ${CMAKE_INSTALL_PREFIX}/${KOV_PKGCONFIG_INSTALL_DIR} ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" KOV_PC_PREFIX_FROM_PCDIR "${KOV_PC_PREFIX_FROM_PCDIR}")
# A sanitizer build installs an instrumented plug-in frame.
set(KOV_PC_SANITIZE_FLAGS)
if(KOV_SANITIZE)
  set(KOV_PC_SANITIZE_FLAGS -fsanitize=address,undefined)
endif()
foreach(pc kovkit-6 kovkit-plugin-6 kovkit-gtk-6)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/${pc}.pc.in ${CMAKE_BINARY_DIR}/pkgconfig/${pc}.pc @ONLY)
  install(FILES ${CMAKE_BINARY_DIR}/pkgconfig/${pc}.pc DESTINATION ${KOV_PKGCONFIG_INSTALL_DIR})
endforeach()

set(KOV_CMAKE_INSTALL_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/kovkit)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/kovkitConfig.cmake.in
  ${CMAKE_BINARY_DIR}/cmake/kovkitConfig.cmake
  INSTALL_DESTINATION ${KOV_CMAKE_INSTALL_DIR}
  PATH_VARS KOV_PLUGIN_INSTALL_DIR)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/cmake/kovkitConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/cmake/kovkitConfig.cmake
  ${CMAKE_BINARY_DIR}/cmake/kovkitConfigVersion.cmake
  DESTINATION ${KOV_CMAKE_INSTALL_DIR})
install(EXPORT kovkit-targets NAMESPACE kovkit:: FILE kovkitTargets.cmake
  DESTINATION ${KOV_CMAKE_INSTALL_DIR})
