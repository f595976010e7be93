# VandryStream: the port parser in storage that the caller owns, as a shared
# library (libVandryStream.so.1 or VandryStream.dll with its import
# libraries) and a static one (libVandryStream.a), from the same parser
# sources as VandryInterface.
#
# vandry_stream_objects         the shared library's objects, exports marked
# vandry_stream_static_objects  the static library's, built with VANDRY_STREAM_STATIC
# VandryStream                  the shared library; VandryStreamStatic the static one
# vandry_stream_api             what the stream tests link: the shared library,
#                               or the objects in sanitizer runs

set(VANDRY_STREAM_SOURCES src/port_protocol.cpp src/VandryStream.cpp)

function(vandry_stream_object_library name definition)
  add_library(${name} OBJECT ${VANDRY_STREAM_SOURCES})
  target_compile_definitions(${name} PRIVATE ${definition})
  target_link_libraries(${name} PRIVATE vandry_library_flags)
  target_include_directories(${name} PRIVATE "${PROJECT_SOURCE_DIR}/include" "${VANDRY_SOURCE_DIR}")
endfunction()

vandry_stream_object_library(vandry_stream_objects VANDRY_STREAM_BUILDING)

add_library(vandry_stream_api INTERFACE)
target_include_directories(vandry_stream_api INTERFACE "${PROJECT_SOURCE_DIR}/include")

if(VANDRY_SANITIZE)
  target_sources(vandry_stream_api INTERFACE $<TARGET_OBJECTS:vandry_stream_objects>)
  return()
endif()

vandry_stream_object_library(vandry_stream_static_objects VANDRY_STREAM_STATIC)

set(VANDRY_STREAM_INCLUDES
  $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)

add_library(VandryStream SHARED $<TARGET_OBJECTS:vandry_stream_objects>)
target_include_directories(VandryStream PUBLIC ${VANDRY_STREAM_INCLUDES})
set_target_properties(VandryStream PROPERTIES
  VERSION ${PROJECT_VERSION}
  SOVERSION ${PROJECT_VERSION_MAJOR})
target_link_libraries(vandry_stream_api INTERFACE VandryStream)

add_library(VandryStreamStatic STATIC $<TARGET_OBJECTS:vandry_stream_static_objects>)
target_include_directories(VandryStreamStatic INTERFACE ${VANDRY_STREAM_INCLUDES})
target_compile_definitions(VandryStreamStatic INTERFACE VANDRY_STREAM_STATIC)
set_target_properties(VandryStreamStatic PROPERTIES OUTPUT_NAME VandryStream)

# Linked exactly as VandryInterface is (names, runtime, link options), with
# exports, version resource and MSVC import library of its own.
if(WIN32)
  set(VANDRY_STREAM_DEF_FILE "${VANDRY_SOURCE_DIR}/VandryStream.def")
  set(VANDRY_STREAM_MSVC_IMPORT_LIB "$<TARGET_FILE_DIR:VandryStream>/VandryStream.lib")
  foreach(property IN ITEMS PREFIX IMPORT_PREFIX IMPORT_SUFFIX LINK_OPTIONS)
    get_target_property(value VandryInterface ${property})
    set_target_properties(VandryStream PROPERTIES ${property} "${value}")
  endforeach()
  target_sources(VandryStream PRIVATE "${VANDRY_STREAM_DEF_FILE}" "${VANDRY_SOURCE_DIR}/VandryStream.rc")
  add_custom_command(TARGET VandryStream POST_BUILD
    COMMAND "${VANDRY_DLLTOOL}" --machine i386:x86-64 --dllname VandryStream.dll
            --input-def "${VANDRY_STREAM_DEF_FILE}" --output-lib "${VANDRY_STREAM_MSVC_IMPORT_LIB}"
    COMMENT "Making the MSVC import library VandryStream.lib"
    VERBATIM)
else()
  set(VANDRY_STREAM_VERSION_SCRIPT "${VANDRY_SOURCE_DIR}/VandryStream.map")
  get_target_property(link_options VandryInterface LINK_OPTIONS)
  list(TRANSFORM link_options REPLACE "VandryInterface[.]map" "VandryStream.map")
  set_target_properties(VandryStream PROPERTIES
    LINK_OPTIONS "${link_options}"
    LINK_DEPENDS "${VANDRY_STREAM_VERSION_SCRIPT}")
endif()

# Installed into the VandryInterface CMake package (VandryInterface::VandryStream
# and VandryInterface::VandryStreamStatic), with a pkg-config file of its own.
# Runtime holds what a program needs to run, Development what it needs to build.
install(TARGETS VandryStream VandryStreamStatic EXPORT VandryInterfaceTargets
  RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}" COMPONENT Runtime
  LIBRARY DESTINATION "${CMAKE_INSTALL_LIBDIR}" COMPONENT Runtime NAMELINK_COMPONENT Development
  ARCHIVE DESTINATION "${CMAKE_INSTALL_LIBDIR}" COMPONENT Development)
install(FILES include/VandryStream.h DESTINATION "${CMAKE_INSTALL_INCLUDEDIR}" COMPONENT Development)
if(WIN32)
  install(FILES "${VANDRY_STREAM_DEF_FILE}" "${VANDRY_STREAM_MSVC_IMPORT_LIB}"
          DESTINATION "${CMAKE_INSTALL_LIBDIR}" COMPONENT Development)
endif()

# The .pc file finds its prefix from where it lies, so that an installed tree
# can be moved.
file(RELATIVE_PATH VANDRY_STREAM_PC_TO_PREFIX "/prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/prefix")
configure_file(cmake/VandryStream.pc.in "${CMAKE_CURRENT_BINARY_DIR}/VandryStream.pc" @ONLY)
install(FILES "${CMAKE_CURRENT_BINARY_DIR}/VandryStream.pc"
        DESTINATION "${CMAKE_INSTALL_LIBDIR}/pkgconfig" COMPONENT Development)
