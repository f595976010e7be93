# Packages made with CPack from the install components (VandryInstall.cmake):
#   Linux    a TGZ of everything, and one Debian package per component
#   Windows  the SDK ZIP
# VandryCPackOptions.cmake.in adjusts the settings for each generator.

set(CPACK_PACKAGE_NAME VandryInterface)
set(CPACK_PACKAGE_VENDOR "The VandryInterface developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_CONTACT "The VandryInterface developers <vandry-interface@example.org>"
    CACHE STRING "Maintainer named in the packages")
set(CPACK_RESOURCE_FILE_README "${PROJECT_SOURCE_DIR}/README.md")
set(CPACK_RESOURCE_FILE_LICENSE "${PROJECT_SOURCE_DIR}/LICENSE")
set(CPACK_PACKAGE_DIRECTORY "${CMAKE_BINARY_DIR}/packages")
set(CPACK_PROJECT_CONFIG_FILE "${CMAKE_CURRENT_BINARY_DIR}/VandryCPackOptions.cmake")

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME "VandryInterface-${PROJECT_VERSION}-win64-sdk")
else()
  set(CPACK_GENERATOR "TGZ;DEB")
  set(CPACK_PACKAGE_FILE_NAME "VandryInterface-${PROJECT_VERSION}-linux-x86_64")
  include(cmake/VandryDebian.cmake)
endif()

configure_file(cmake/VandryCPackOptions.cmake.in "${CPACK_PROJECT_CONFIG_FILE}" @ONLY)
include(CPack)
