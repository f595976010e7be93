# vandry_install_pc_file(<name>) installs <name>.pc (component Development),
# made from cmake/<name>.pc.in.
#
# The .pc file is written when it is installed, because only then is its
# prefix known: an install into a known prefix (cmake --install, a Debian
# package) names that prefix, normalised, so that pkg-config prints
# -I/opt/vandry/include. An archive that may be unpacked anywhere (the TGZ,
# the Windows ZIP) finds its prefix from where the file lies instead; CPack
# asks for that through VANDRY_RELOCATABLE_INSTALL (see VandryPackages.cmake).
# VandryInstallPkgConfig.cmake does the writing.
include_guard(GLOBAL)

function(vandry_install_pc_file name)
  set(pc_dir "${CMAKE_INSTALL_LIBDIR}/pkgconfig")
  file(RELATIVE_PATH to_prefix "/prefix/${pc_dir}" "/prefix")
  string(REGEX REPLACE "/$" "" to_prefix "${to_prefix}")
  set(VANDRY_PC_PREFIX "@VANDRY_PC_PREFIX@")  # left for the install step
  set(template "${CMAKE_CURRENT_BINARY_DIR}/${name}.pc.install")
  configure_file("${PROJECT_SOURCE_DIR}/cmake/${name}.pc.in" "${template}" @ONLY)
  install(CODE "
    set(VANDRY_PC_TEMPLATE \"${template}\")
    set(VANDRY_PC_DIR \"${pc_dir}\")
    set(VANDRY_PC_TO_PREFIX \"${to_prefix}\")
    include(\"${PROJECT_SOURCE_DIR}/cmake/VandryInstallPkgConfig.cmake\")"
    COMPONENT Development)
endfunction()
