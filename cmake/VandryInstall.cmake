# Installing the library: the header, the library (with its SONAME links, or
# the DLL with both import libraries and the .def), a CMake package, a
# pkg-config file; and packages made from them with CPack.
include(CMakePackageConfigHelpers)

set(VANDRY_CMAKE_DIR "${CMAKE_INSTALL_LIBDIR}/cmake/VandryInterface")

install(TARGETS VandryInterface EXPORT VandryInterfaceTargets
  RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}"
  LIBRARY DESTINATION "${CMAKE_INSTALL_LIBDIR}" NAMELINK_COMPONENT Development
  ARCHIVE DESTINATION "${CMAKE_INSTALL_LIBDIR}")
install(FILES include/VandryInterface.h DESTINATION "${CMAKE_INSTALL_INCLUDEDIR}")
if(WIN32)
  install(FILES "${VANDRY_DEF_FILE}" DESTINATION "${CMAKE_INSTALL_LIBDIR}")
  install(FILES "$<TARGET_FILE_DIR:VandryInterface>/VandryInterface.lib" DESTINATION "${CMAKE_INSTALL_LIBDIR}")
endif()
if(WIN32)
  install(FILES README.md DESTINATION .)  # at the top of the SDK
else()
  install(FILES README.md DESTINATION "${CMAKE_INSTALL_DOCDIR}")
endif()

install(EXPORT VandryInterfaceTargets
  NAMESPACE VandryInterface::
  DESTINATION "${VANDRY_CMAKE_DIR}")
configure_package_config_file(cmake/VandryInterfaceConfig.cmake.in
  "${CMAKE_CURRENT_BINARY_DIR}/VandryInterfaceConfig.cmake"
  INSTALL_DESTINATION "${VANDRY_CMAKE_DIR}")
write_basic_package_version_file("${CMAKE_CURRENT_BINARY_DIR}/VandryInterfaceConfigVersion.cmake"
  COMPATIBILITY SameMajorVersion)
install(FILES
  "${CMAKE_CURRENT_BINARY_DIR}/VandryInterfaceConfig.cmake"
  "${CMAKE_CURRENT_BINARY_DIR}/VandryInterfaceConfigVersion.cmake"
  DESTINATION "${VANDRY_CMAKE_DIR}")

# The .pc file finds its prefix from where it lies, so that an installed
# tree can be moved.
set(VANDRY_PC_DIR "${CMAKE_INSTALL_LIBDIR}/pkgconfig")
file(RELATIVE_PATH VANDRY_PC_TO_PREFIX "/prefix/${VANDRY_PC_DIR}" "/prefix")
string(REGEX REPLACE "/$" "" VANDRY_PC_TO_PREFIX "${VANDRY_PC_TO_PREFIX}")
configure_file(cmake/VandryInterface.pc.in "${CMAKE_CURRENT_BINARY_DIR}/VandryInterface.pc" @ONLY)
install(FILES "${CMAKE_CURRENT_BINARY_DIR}/VandryInterface.pc" DESTINATION "${VANDRY_PC_DIR}")

set(CPACK_PACKAGE_NAME VandryInterface)
set(CPACK_PACKAGE_VENDOR "VandryInterface developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_CONTACT "VandryInterface developers <vandry-interface@localhost>")
set(CPACK_RESOURCE_FILE_README "${PROJECT_SOURCE_DIR}/README.md")
set(CPACK_PACKAGE_DIRECTORY "${CMAKE_BINARY_DIR}/packages")
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME "VandryInterface-${PROJECT_VERSION}-win64-sdk")
else()
  set(CPACK_GENERATOR "TGZ;DEB")
  set(CPACK_PACKAGE_FILE_NAME "VandryInterface-${PROJECT_VERSION}-linux-x86_64")
  set(CPACK_DEBIAN_PACKAGE_NAME libvandryinterface1)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE amd64)
  set(CPACK_DEBIAN_PACKAGE_SECTION libs)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "")
endif()
include(CPack)
