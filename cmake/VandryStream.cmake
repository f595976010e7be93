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

# Linked as VandryInterface is: vandry_library_flags carries the link
# options of every deliverable, vandry_deliverable_exports what it exports.
target_link_libraries(VandryStream PRIVATE vandry_library_flags)
vandry_deliverable_exports(VandryStream)

# Installed into the VandryInterface CMake package (VandryInterface::VandryStream
# and VandryInterface::VandryStreamStatic), with a pkg-config file of its own.
# StreamRuntime holds what a program needs to run (a Debian package of its
# own, libvandrystream1: one shared library per runtime package), Development
# what it needs to build.
install(TARGETS VandryStream VandryStreamStatic EXPORT VandryInterfaceTargets
  RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}" COMPONENT StreamRuntime
  LIBRARY DESTINATION "${CMAKE_INSTALL_LIBDIR}" COMPONENT StreamRuntime NAMELINK_COMPONENT Development
  ARCHIVE DESTINATION "${CMAKE_INSTALL_LIBDIR}" COMPONENT Development)
install(FILES include/VandryStream.h DESTINATION "${CMAKE_INSTALL_INCLUDEDIR}" COMPONENT Development)
if(WIN32)
  install(FILES "${VANDRY_SOURCE_DIR}/VandryStream.def" "$<TARGET_FILE_DIR:VandryStream>/VandryStream.lib"
          DESTINATION "${CMAKE_INSTALL_LIBDIR}" COMPONENT Development)
endif()

include(cmake/VandryPkgConfig.cmake)
vandry_install_pc_file(VandryStream)
