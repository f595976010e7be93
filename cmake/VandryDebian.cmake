# The Debian packages: one per install component, each with the copyright
# file and changelog Debian asks for. Their sources are in packaging/debian.
#
# The version is the library's, with the Debian revision of the newest entry
# in packaging/debian/changelog, e.g. 1.1.0-1. A new library version needs a new
# changelog entry; the package test fails until it has one.

set(VANDRY_DEBIAN_SOURCE_DIR "${PROJECT_SOURCE_DIR}/packaging/debian")
set(VANDRY_DEBIAN_DIR "${CMAKE_CURRENT_BINARY_DIR}/debian")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
  "${VANDRY_DEBIAN_SOURCE_DIR}/changelog" "${VANDRY_DEBIAN_SOURCE_DIR}/copyright.in"
  "${PROJECT_SOURCE_DIR}/LICENSE")

file(STRINGS "${VANDRY_DEBIAN_SOURCE_DIR}/changelog" _vandry_changelog_top LIMIT_COUNT 1)
if(NOT _vandry_changelog_top MATCHES "^([a-z0-9.+-]+) \\(([^)]+)-([^)-]+)\\) ")
  message(FATAL_ERROR "${VANDRY_DEBIAN_SOURCE_DIR}/changelog: the first line is not a Debian changelog entry")
endif()
set(CPACK_DEBIAN_PACKAGE_SOURCE "${CMAKE_MATCH_1}")
set(CPACK_DEBIAN_PACKAGE_RELEASE "${CMAKE_MATCH_3}")
if(NOT CMAKE_MATCH_2 STREQUAL PROJECT_VERSION)
  message(WARNING "packaging/debian/changelog ends at version ${CMAKE_MATCH_2}, the library is "
                  "${PROJECT_VERSION}: add an entry before making Debian packages")
endif()

# Debian wants the changelog compressed the reproducible way (no name, no time).
find_program(VANDRY_GZIP gzip REQUIRED)
file(MAKE_DIRECTORY "${VANDRY_DEBIAN_DIR}")
execute_process(COMMAND "${VANDRY_GZIP}" -9nc "${VANDRY_DEBIAN_SOURCE_DIR}/changelog"
                OUTPUT_FILE "${VANDRY_DEBIAN_DIR}/changelog.Debian.gz"
                COMMAND_ERROR_IS_FATAL ANY)

# The copyright file in the machine-readable format, from LICENSE, so that
# the licence is written down once.
file(READ "${PROJECT_SOURCE_DIR}/LICENSE" _vandry_license)
if(NOT _vandry_license MATCHES "Copyright \\(c\\) ([^\n]+)\n(.*)$")
  message(FATAL_ERROR "${PROJECT_SOURCE_DIR}/LICENSE has no line 'Copyright (c) ...'")
endif()
set(VANDRY_COPYRIGHT "${CMAKE_MATCH_1}")
string(STRIP "${CMAKE_MATCH_2}" VANDRY_LICENSE_TEXT)
string(REPLACE "\n\n" "\n.\n" VANDRY_LICENSE_TEXT "${VANDRY_LICENSE_TEXT}")  # a blank line in a field is " ."
string(REPLACE "\n" "\n " VANDRY_LICENSE_TEXT " ${VANDRY_LICENSE_TEXT}")
configure_file("${VANDRY_DEBIAN_SOURCE_DIR}/copyright.in" "${VANDRY_DEBIAN_DIR}/copyright" @ONLY)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)  # a component's DEPENDS become "(= version)"
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The tools link the library from the build tree; its package is named
# through the component dependency, since dpkg-shlibdeps cannot know it.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS "${CMAKE_BINARY_DIR}")  # where libVandryInterface.so.1 is built
set(VANDRY_DEBIAN_COMPONENTS "")

# vandry_debian_package(<component> <package> <section> <summary>
#                       DESCRIPTION <paragraph>... [DEPENDS <component>...]
#                       [SHARED_LIBRARY <name> <soversion>])
# makes <component> the Debian package <package>. Its copyright and
# changelog go to /usr/share/doc/<package> and, when
# packaging/debian/<package>.lintian-overrides exists, that file to
# /usr/share/lintian/overrides/<package>; they are installed only with the
# component (never by a plain cmake --install).
#
# A package of a shared library (<name>.so.<soversion>) gets a shlibs
# file and the ldconfig trigger. dpkg-shlibdeps is not run on it: the
# library needs no other library, and with it CPack would add postinst and
# postrm scripts that call ldconfig, which Debian has replaced by the trigger.
function(vandry_debian_package component package section summary)
  cmake_parse_arguments(PARSE_ARGV 4 arg "" "" "DESCRIPTION;DEPENDS;SHARED_LIBRARY")
  string(TOUPPER "${component}" key)
  list(JOIN arg_DESCRIPTION "\n.\n" paragraphs)
  set(CPACK_DEBIAN_${key}_PACKAGE_NAME "${package}" PARENT_SCOPE)
  set(CPACK_DEBIAN_${key}_PACKAGE_SECTION "${section}" PARENT_SCOPE)
  set(CPACK_DEBIAN_${key}_DESCRIPTION "${summary}\n${paragraphs}" PARENT_SCOPE)
  set(CPACK_COMPONENT_${key}_DEPENDS ${arg_DEPENDS} PARENT_SCOPE)
  set(VANDRY_DEBIAN_COMPONENTS ${VANDRY_DEBIAN_COMPONENTS} ${component} PARENT_SCOPE)

  if(arg_SHARED_LIBRARY)
    list(GET arg_SHARED_LIBRARY 0 name)
    list(GET arg_SHARED_LIBRARY 1 soversion)
    set(control "${VANDRY_DEBIAN_DIR}/${package}")
    file(WRITE "${control}/shlibs"
         "${name} ${soversion} ${package} (>= ${PROJECT_VERSION})\n")
    file(WRITE "${control}/triggers" "activate-noawait ldconfig\n")
    set(CPACK_DEBIAN_${key}_PACKAGE_CONTROL_EXTRA "${control}/shlibs;${control}/triggers" PARENT_SCOPE)
    set(CPACK_DEBIAN_${key}_PACKAGE_SHLIBDEPS OFF PARENT_SCOPE)
  endif()

  set(doc_dir "${CMAKE_INSTALL_DATAROOTDIR}/doc/${package}")
  install(FILES "${VANDRY_DEBIAN_DIR}/copyright" "${VANDRY_DEBIAN_DIR}/changelog.Debian.gz"
          DESTINATION "${doc_dir}" COMPONENT ${component} EXCLUDE_FROM_ALL)
  set(overrides "${VANDRY_DEBIAN_SOURCE_DIR}/${package}.lintian-overrides")
  if(EXISTS "${overrides}")
    install(FILES "${overrides}" DESTINATION "${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides"
            RENAME "${package}" COMPONENT ${component} EXCLUDE_FROM_ALL)
  endif()
endfunction()

set(VANDRY_DEBIAN_ABOUT
  "VandryInterface lets a program talk to a Vandry radio-control device. It
builds the command frames that start and stop the device's upload,
reassembles the device's port byte stream into channel values, decodes its
two HID reports and packs channel values into SBUS frames. It does no I/O of
its own, allocates nothing and depends on no other library.")

vandry_debian_package(Runtime libvandryinterface1 libs
  "library to talk to a Vandry radio-control device"
  DESCRIPTION "${VANDRY_DEBIAN_ABOUT}" "This package holds the shared library."
  SHARED_LIBRARY libVandryInterface ${PROJECT_VERSION_MAJOR})
vandry_debian_package(StreamRuntime libvandrystream1 libs
  "library to follow any number of Vandry radio-control devices"
  DESCRIPTION "${VANDRY_DEBIAN_ABOUT}"
  "VandryStream is its port stream parser with the state in storage of the
caller's: one per device, each upload-data frame handed to a callback."
  "This package holds the shared library."
  SHARED_LIBRARY libVandryStream ${PROJECT_VERSION_MAJOR})
vandry_debian_package(Development libvandryinterface-dev libdevel
  "library to talk to a Vandry radio-control device - development files"
  DESCRIPTION "${VANDRY_DEBIAN_ABOUT}"
  "This package holds the C headers, the link libraries (VandryStream's also
static), the CMake package (find_package(VandryInterface)) and the
pkg-config files."
  DEPENDS Runtime StreamRuntime)
vandry_debian_package(Tools vandry-tools utils
  "monitor and simulator for Vandry radio-control devices"
  DESCRIPTION
  "vandry-monitor drives a Vandry device through its serial port or HID
node, shows or prints its channel values and can pass them on as SBUS
frames or UDP datagrams for flight-stack simulators. vandry-sim is a
simulated device on a pseudo-terminal, for testing a host program without
the hardware."
  DEPENDS Runtime StreamRuntime)

# The README belongs with the development files.
install(FILES README.md DESTINATION "${CMAKE_INSTALL_DATAROOTDIR}/doc/libvandryinterface-dev"
        COMPONENT Development EXCLUDE_FROM_ALL)
