# Install rules shared by the programs: `cmake --install` and the Debian package use the same ones.
include(GNUInstallDirs)

# The desktop entry, the AppStream metainfo and the running window share this name, so desktops
# match a window to its menu entry and icon.
set(VELLUMIX_APP_ID org.vellumix.Vellumix)
# Debian's name for the package and its documentation folder.
set(VELLUMIX_PACKAGE_NAME vellumix)

# A package must not depend on the installing user's umask.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
                                                GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

# The Debian package, the gzipped manual pages and documentation, and their checks (bash scripts) are
# for Linux: a stock Windows machine has neither gzip nor bash, and a Windows build installs the
# programs only.
if(UNIX AND NOT APPLE)
  set(VELLUMIX_LINUX_PACKAGING ON)
else()
  set(VELLUMIX_LINUX_PACKAGING OFF)
endif()

# vellumix_gzip(SOURCE OUTPUT): OUTPUT is SOURCE compressed as Debian wants documentation: best
# compression, no name or time stamp inside, so the package is the same each build.
function(vellumix_gzip source output)
  get_filename_component(dir ${output} DIRECTORY)
  string(REGEX REPLACE "\\.gz$" "" plain ${output})
  add_custom_command(
    OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${dir}
    COMMAND ${CMAKE_COMMAND} -E copy ${source} ${plain}
    COMMAND gzip -9nf ${plain}
    DEPENDS ${source}
    VERBATIM)
endfunction()

# vellumix_install_program(TARGET): installs the program and its manual page
# packaging/man/TARGET.1 (on Linux). One call beside each add_executable that users run.
function(vellumix_install_program target)
  install(TARGETS ${target} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  if(NOT VELLUMIX_LINUX_PACKAGING)
    return()
  endif()
  set(page ${PROJECT_SOURCE_DIR}/packaging/man/${target}.1)
  if(NOT EXISTS ${page})
    message(AUTHOR_WARNING "${target} is installed without a manual page: write ${page}")
    return()
  endif()
  set(gz ${PROJECT_BINARY_DIR}/packaging/man/${target}.1.gz)
  vellumix_gzip(${page} ${gz})
  add_custom_target(${target}_manual_page ALL DEPENDS ${gz})
  install(FILES ${gz} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endfunction()
