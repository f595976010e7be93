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

# The .pc file is written when it is installed, because only then is its
# prefix known: an install into a known prefix (cmake --install, a Debian
# package) names that prefix, normalised, so that pkg-config prints
# -I/opt/vandry/include. An archive that may be unpacked anywhere (the TGZ,
# the Windows ZIP) finds its prefix from where the file lies instead; CPack
# asks for that through VANDRY_RELOCATABLE_INSTALL (see VandryPackages.cmake).
set(VANDRY_PC_DIR "${CMAKE_INSTALL_LIBDIR}/pkgconfig")
file(RELATIVE_PATH VANDRY_PC_TO_PREFIX "/prefix/${VANDRY_PC_DIR}" "/prefix")
string(REGEX REPLACE "/$" "" VANDRY_PC_TO_PREFIX "${VANDRY_PC_TO_PREFIX}")
set(VANDRY_PC_PREFIX "@VANDRY_PC_PREFIX@")  # left for the install step
configure_file(cmake/VandryInterface.pc.in "${CMAKE_CURRENT_BINARY_DIR}/VandryInterface.pc.install" @ONLY)
install(CODE "
  set(VANDRY_PC_TEMPLATE \"${CMAKE_CURRENT_BINARY_DIR}/VandryInterface.pc.install\")
  set(VANDRY_PC_DIR \"${VANDRY_PC_DIR}\")
  set(VANDRY_PC_TO_PREFIX \"${VANDRY_PC_TO_PREFIX}\")
  include(\"${PROJECT_SOURCE_DIR}/cmake/VandryInstallPkgConfig.cmake\")"
  COMPONENT Development)

include(cmake/VandryPackages.cmake)
