# Run by cpack after it has staged the files and before it packs them (see
# VandryCPackOptions.cmake.in): Debian wants manual pages compressed, the
# reproducible way, while a plain install keeps them as they are.
find_program(VANDRY_GZIP gzip REQUIRED)
file(GLOB_RECURSE _vandry_staged LIST_DIRECTORIES false "${CPACK_TEMPORARY_DIRECTORY}/*")
list(FILTER _vandry_staged INCLUDE REGEX "/share/man/man[^/]*/[^/]+$")
list(FILTER _vandry_staged EXCLUDE REGEX "\\.gz$")
foreach(_page IN LISTS _vandry_staged)
  if(NOT IS_SYMLINK "${_page}")
    execute_process(COMMAND "${VANDRY_GZIP}" -9nf "${_page}" COMMAND_ERROR_IS_FATAL ANY)
  endif()
endforeach()
