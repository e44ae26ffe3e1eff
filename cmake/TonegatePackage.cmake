# What a program using the library finds in an installed tree (pkg-config and
# CMake package files), and the packages CPack makes of it: Debian packages
# per component on Linux, one ZIP from the MinGW cross build.
# Components: runtime (library, drivers, registrations), development
# (headers, import library and .so link, package files), tools (players,
# tonegate, man page).
include(CMakePackageConfigHelpers)

set(TONEGATE_CMAKE_DIR lib/cmake/Tonegate)
install(EXPORT TonegateTargets NAMESPACE Tonegate:: DESTINATION ${TONEGATE_CMAKE_DIR} COMPONENT development)
configure_package_config_file(cmake/TonegateConfig.cmake.in ${PROJECT_BINARY_DIR}/TonegateConfig.cmake
  INSTALL_DESTINATION ${TONEGATE_CMAKE_DIR})
# A caller written against 2.x works with any later 2.y: exports change only
# with the major version, as the soname does.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/TonegateConfigVersion.cmake COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/TonegateConfig.cmake ${PROJECT_BINARY_DIR}/TonegateConfigVersion.cmake
  DESTINATION ${TONEGATE_CMAKE_DIR} COMPONENT development)

configure_file(cmake/tonegate.pc.in ${PROJECT_BINARY_DIR}/tonegate.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/tonegate.pc DESTINATION lib/pkgconfig COMPONENT development)

# On Windows the drivers register themselves with regsvr32; the script does
# it for every installed driver, from the folder it is in.
if(WIN32)
  get_property(drivers GLOBAL PROPERTY TONEGATE_INSTALLED_DRIVERS)
  set(script "@echo off\r\nrem Registers the Tonegate drivers (run as administrator).\r\n")
  foreach(driver IN LISTS drivers)
    # errorlevel rather than ||, which not every cmd (Wine's) runs as Windows does.
    string(APPEND script "regsvr32 /s \"%~dp0lib\\${driver}.dll\"\r\nif errorlevel 1 exit /b 1\r\n")
  endforeach()
  file(WRITE ${PROJECT_BINARY_DIR}/register-drivers.cmd "${script}")
  install(FILES ${PROJECT_BINARY_DIR}/register-drivers.cmd DESTINATION . COMPONENT runtime)
endif()

set(CPACK_PACKAGE_NAME tonegate)
set(CPACK_PACKAGE_VENDOR Tonegate)
set(CPACK_PACKAGE_CONTACT "Tonegate developers <tonegate@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Test-tone host for low-latency sound-card drivers")
set(CPACK_COMPONENTS_ALL runtime development tools)
set(CPACK_COMPONENT_DEVELOPMENT_DEPENDS runtime)
set(CPACK_COMPONENT_TOOLS_DEPENDS runtime)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win64)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_INSTALL_PREFIX /usr)
  # The registrations are written at install time with the prefix they name,
  # so CPack installs with the real prefix under DESTDIR, not a staging prefix.
  set(CPACK_SET_DESTDIR ON)
  set(CPACK_DEB_COMPONENT_INSTALL ON)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
  set(CPACK_DEBIAN_PACKAGE_SECTION sound)
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libtonegate${PROJECT_VERSION_MAJOR})
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
  set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libtonegate-dev)
  set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
  set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME tonegate)
endif()
include(CPack)
