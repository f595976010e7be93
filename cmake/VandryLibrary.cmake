# The library: the subsystems and the C boundary as object libraries, and
# from them the deliverable (libVandryInterface.so or VandryInterface.dll).
#
# vandry_core       the subsystems; unit tests link it to build fresh instances
# vandry_exports    the C boundary with the process-wide state and DllMain
# VandryInterface   the deliverable; not built for sanitizer runs, since a
#                   library that links against nothing cannot carry a
#                   sanitizer runtime
# vandry_api        what boundary tests link: the deliverable, or both object
#                   libraries in sanitizer runs

set(VANDRY_SOURCE_DIR "${PROJECT_SOURCE_DIR}/src")

# vandry_library_flags: how every deliverable's code is compiled and linked.
# Link each deliverable's SHARED target with it as well as its objects: the
# link options below apply to shared libraries only.
add_library(vandry_library_flags INTERFACE)
target_compile_definitions(vandry_library_flags INTERFACE VANDRY_INTERFACE_BUILDING)
# No exceptions, no RTTI, no hidden library calls: the deliverable links
# against nothing, and copy loops must not turn into memcpy calls. Options
# given here come after the user's CFLAGS/CXXFLAGS, so they win over the
# distributions' hardening flags where those would call into libc.
set(_vandry_cxx "$<COMPILE_LANGUAGE:C,CXX>")
set(_vandry_shipped "$<AND:${_vandry_cxx},$<NOT:$<BOOL:${VANDRY_SANITIZE}>>>")
set(_vandry_elf "$<AND:${_vandry_shipped},$<NOT:$<BOOL:${WIN32}>>>")
target_compile_options(vandry_library_flags INTERFACE
  $<${_vandry_cxx}:-fno-exceptions -fno-rtti -fvisibility=hidden -fvisibility-inlines-hidden>
  # A failed _GLIBCXX_ASSERTIONS check calls std::__glibcxx_assert_fail in libstdc++.
  $<${_vandry_cxx}:-U_GLIBCXX_ASSERTIONS>
  # Fortified string functions are the __*_chk functions of libc.
  $<${_vandry_cxx}:-U_FORTIFY_SOURCE>
  # A smashed canary calls __stack_chk_fail in libc (the sanitizer runs link libc).
  $<${_vandry_shipped}:-fno-stack-protector>
  # -O3 only duplicates code here; -O2 keeps the library within its size budget.
  $<$<AND:${_vandry_shipped},$<CONFIG:Release>>:-O2>
  # Nothing unwinds through the library: no exceptions cross it. Windows x64
  # keeps its unwind data, which its ABI requires of every function that calls.
  $<${_vandry_elf}:-fno-asynchronous-unwind-tables -fno-unwind-tables>
  $<$<AND:${_vandry_cxx},$<CXX_COMPILER_ID:GNU>>:-fno-tree-loop-distribute-patterns>
  $<$<AND:${_vandry_cxx},$<CXX_COMPILER_ID:Clang>>:-fno-builtin>)
target_link_libraries(vandry_library_flags INTERFACE vandry_warnings)
set(_vandry_shared "$<STREQUAL:$<TARGET_PROPERTY:TYPE>,SHARED_LIBRARY>")
if(WIN32)
  # The runtime is linked in, so the DLL imports only KERNEL32 and the C runtime.
  target_link_options(vandry_library_flags INTERFACE
    $<${_vandry_shared}:-static-libgcc -static-libstdc++ -Wl,--no-insert-timestamp>)
else()
  # -z defs makes any call into libc, libstdc++ or libgcc fail the link;
  # -z noseparate-code packs the segments instead of padding each to a page.
  target_link_options(vandry_library_flags INTERFACE
    $<${_vandry_shared}:-nostdlib -Wl,-z,defs -Wl,--hash-style=gnu -Wl,-z,noexecstack
                        -Wl,-z,relro -Wl,-z,now -Wl,-z,noseparate-code>)
endif()

add_library(vandry_core OBJECT
  src/port_protocol.cpp
  src/hid_reports.cpp
  src/sbus_output.cpp)
target_link_libraries(vandry_core PRIVATE vandry_library_flags)
target_include_directories(vandry_core PUBLIC "${PROJECT_SOURCE_DIR}/include" "${VANDRY_SOURCE_DIR}")

add_library(vandry_exports OBJECT src/VandryInterface.cpp)
target_link_libraries(vandry_exports PRIVATE vandry_library_flags)
target_include_directories(vandry_exports PUBLIC "${PROJECT_SOURCE_DIR}/include" "${VANDRY_SOURCE_DIR}")

add_library(vandry_api INTERFACE)
target_include_directories(vandry_api INTERFACE "${PROJECT_SOURCE_DIR}/include")

if(VANDRY_SANITIZE)
  target_sources(vandry_api INTERFACE $<TARGET_OBJECTS:vandry_core> $<TARGET_OBJECTS:vandry_exports>)
  return()
endif()

# vandry_deliverable_exports(<target>) makes a shared library of this project
# export exactly its functions: on Windows by src/<target>.def (names and
# ordinals), with the version resource src/<target>.rc and an MSVC import
# library <target>.lib made from the same .def; elsewhere by the version
# script src/<target>.map.
if(WIN32)
  enable_language(RC)
  find_program(VANDRY_DLLTOOL NAMES ${CMAKE_SYSTEM_PROCESSOR}-w64-mingw32-dlltool x86_64-w64-mingw32-dlltool dlltool REQUIRED)
endif()
function(vandry_deliverable_exports target)
  if(WIN32)
    set(def "${VANDRY_SOURCE_DIR}/${target}.def")
    set_target_properties(${target} PROPERTIES
      PREFIX ""
      IMPORT_PREFIX ""
      IMPORT_SUFFIX ".dll.a")
    set(rc "${VANDRY_SOURCE_DIR}/${target}.rc")
    target_sources(${target} PRIVATE "${def}" "${rc}")
    # The resource compiler's includes are not tracked, so a new version in
    # the header would otherwise leave the old one in an incremental build.
    set_source_files_properties("${rc}" PROPERTIES
      OBJECT_DEPENDS "${PROJECT_SOURCE_DIR}/include/VandryInterface.h")
    add_custom_command(TARGET ${target} POST_BUILD
      COMMAND "${VANDRY_DLLTOOL}" --machine i386:x86-64 --dllname ${target}.dll
              --input-def "${def}" --output-lib "$<TARGET_FILE_DIR:${target}>/${target}.lib"
      COMMENT "Making the MSVC import library ${target}.lib"
      VERBATIM)
  else()
    set(map "${VANDRY_SOURCE_DIR}/${target}.map")
    set_target_properties(${target} PROPERTIES LINK_DEPENDS "${map}")
    target_link_options(${target} PRIVATE -Wl,--version-script=${map})
  endif()
endfunction()

add_library(VandryInterface SHARED
  $<TARGET_OBJECTS:vandry_core>
  $<TARGET_OBJECTS:vandry_exports>)
target_include_directories(VandryInterface PUBLIC
  $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
set_target_properties(VandryInterface PROPERTIES
  VERSION ${PROJECT_VERSION}
  SOVERSION ${PROJECT_VERSION_MAJOR})
target_link_libraries(VandryInterface PRIVATE vandry_library_flags)
target_link_libraries(vandry_api INTERFACE VandryInterface)

vandry_deliverable_exports(VandryInterface)
if(WIN32)
  set(VANDRY_DEF_FILE "${VANDRY_SOURCE_DIR}/VandryInterface.def")  # installed with the SDK
endif()
