# The Windows zip: vellumix-cli.exe and the virtual adapter (both with the runtime linked in, so
# nothing else needs shipping) and the Windows notes, flat in build-windows/vellumix-cli-VERSION-win64.zip.
if(NOT WIN32)
  return()
endif()
set(zip ${PROJECT_BINARY_DIR}/vellumix-cli-${PROJECT_VERSION}-win64.zip)
set(stage ${PROJECT_BINARY_DIR}/zip-stage)
add_custom_command(
  OUTPUT ${zip}
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${stage}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${stage}
  COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:vellumix-cli> $<TARGET_FILE:vellumix-sim-adapter>
          ${PROJECT_SOURCE_DIR}/docs/windows.md ${stage}
  COMMAND ${CMAKE_COMMAND} -E rm -f ${zip}
  COMMAND ${CMAKE_COMMAND} -E chdir ${stage} ${CMAKE_COMMAND} -E tar cf ${zip} --format=zip
          $<TARGET_FILE_NAME:vellumix-cli> $<TARGET_FILE_NAME:vellumix-sim-adapter> windows.md
  DEPENDS vellumix-cli vellumix-sim-adapter ${PROJECT_SOURCE_DIR}/docs/windows.md
  VERBATIM)
add_custom_target(vellumix_zip ALL DEPENDS ${zip})
