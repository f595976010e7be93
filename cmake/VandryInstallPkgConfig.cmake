# Runs at install time (see VandryInstall.cmake): writes a .pc file
# with the prefix it is installed under, or, for an archive that may be
# unpacked anywhere, with a prefix found from the file's own place.
if(DEFINED ENV{VANDRY_RELOCATABLE_INSTALL})
  set(VANDRY_PC_PREFIX "\${pcfiledir}/${VANDRY_PC_TO_PREFIX}")
else()
  set(VANDRY_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
  cmake_path(ABSOLUTE_PATH VANDRY_PC_PREFIX NORMALIZE)
  if(NOT VANDRY_PC_PREFIX STREQUAL "/")
    string(REGEX REPLACE "/+$" "" VANDRY_PC_PREFIX "${VANDRY_PC_PREFIX}")
  endif()
endif()
# Each prefix gets its own staging file, so that two installs running at
# once cannot write each other's.
string(MD5 _vandry_pc_key "${VANDRY_PC_PREFIX}")
get_filename_component(_vandry_pc_stage "${VANDRY_PC_TEMPLATE}" DIRECTORY)
get_filename_component(_vandry_pc_name "${VANDRY_PC_TEMPLATE}" NAME)
string(REGEX REPLACE "[.]install$" "" _vandry_pc_name "${_vandry_pc_name}")  # VandryInterface.pc, VandryStream.pc
set(_vandry_pc_stage "${_vandry_pc_stage}/pkgconfig-install/${_vandry_pc_key}/${_vandry_pc_name}")
configure_file("${VANDRY_PC_TEMPLATE}" "${_vandry_pc_stage}" @ONLY)
file(INSTALL DESTINATION "${CMAKE_INSTALL_PREFIX}/${VANDRY_PC_DIR}" TYPE FILE FILES "${_vandry_pc_stage}")
