# Installing the library: the header, the library (with its SONAME links, or
# the DLL with both import libraries and the .def), a CMake package, a
# pkg-config file; and packages made from them with CPack.
#
# Every file belongs to one of these components, which the packages split on:
#   Runtime        what a program that uses the library needs to run
#   Development    what building against it needs
#   Tools          vandry-monitor and vandry-sim (tools/CMakeLists.txt)
#   Documentation  the README and the licence of an SDK or a plain install
#                  (the Debian packages carry their own copyright file)
include(CMakePackageConfigHelpers)

set(VANDRY_CMAKE_DIR "${CMAKE_INSTALL_LIBDIR}/cmake/VandryInterface")

install(TARGETS VandryInterface EXPORT VandryInterfaceTargets
  RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}" COMPONENT Runtime
  LIBRARY DESTINATION "${CMAKE_INSTALL_LIBDIR}" COMPONENT Runtime NAMELINK_COMPONENT Development
  ARCHIVE DESTINATION "${CMAKE_INSTALL_LIBDIR}" COMPONENT Development)
install(FILES include/VandryInterface.h DESTINATION "${CMAKE_INSTALL_INCLUDEDIR}" COMPONENT Development)
if(WIN32)
  install(FILES "${VANDRY_DEF_FILE}" "$<TARGET_FILE_DIR:VandryInterface>/VandryInterface.lib"
          DESTINATION "${CMAKE_INSTALL_LIBDIR}" COMPONENT Development)
  set(VANDRY_DOC_DIR .)  # at the top of the SDK
else()
  set(VANDRY_DOC_DIR "${CMAKE_INSTALL_DOCDIR}")
endif()
install(FILES README.md LICENSE DESTINATION "${VANDRY_DOC_DIR}" COMPONENT Documentation)

install(EXPORT VandryInterfaceTargets
  NAMESPACE VandryInterface::
  DESTINATION "${VANDRY_CMAKE_DIR}"
  COMPONENT Development)
configure_package_config_file(cmake/VandryInterfaceConfig.cmake.in
  "${CMAKE_CURRENT_BINARY_DIR}/VandryInterfaceConfig.cmake"
  INSTALL_DESTINATION "${VANDRY_CMAKE_DIR}")
write_basic_package_version_file("${CMAKE_CURRENT_BINARY_DIR}/VandryInterfaceConfigVersion.cmake"
  COMPATIBILITY SameMajorVersion)
install(FILES
  "${CMAKE_CURRENT_BINARY_DIR}/VandryInterfaceConfig.cmake"
  "${CMAKE_CURRENT_BINARY_DIR}/VandryInterfaceConfigVersion.cmake"
  DESTINATION "${VANDRY_CMAKE_DIR}"
  COMPONENT Development)

include(cmake/VandryPkgConfig.cmake)
vandry_install_pc_file(VandryInterface)

include(cmake/VandryPackages.cmake)
