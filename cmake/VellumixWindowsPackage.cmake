# The Windows zip: vellumix-cli.exe and the virtual adapter (both with the runtime linked in, so
# nothing else needs shipping), the Windows notes and the guides the messages name, flat in
# build-windows/vellumix-cli-VERSION-win64.zip.
set(zip ${PROJECT_BINARY_DIR}/vellumix-cli-${PROJECT_VERSION}-win64.zip)
set(stage ${PROJECT_BINARY_DIR}/zip-stage)
set(zip_docs windows.md drivers.md adapters.md usbtmc.md lan.md simulator.md)
list(TRANSFORM zip_docs PREPEND ${PROJECT_SOURCE_DIR}/docs/ OUTPUT_VARIABLE zip_doc_files)
add_custom_command(
  OUTPUT ${zip}
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${stage}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${stage}
  COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:vellumix-cli> $<TARGET_FILE:vellumix-sim-adapter>
          ${zip_doc_files} ${stage}
  COMMAND ${CMAKE_COMMAND} -E rm -f ${zip}
  COMMAND ${CMAKE_COMMAND} -E chdir ${stage} ${CMAKE_COMMAND} -E tar cf ${zip} --format=zip
          $<TARGET_FILE_NAME:vellumix-cli> $<TARGET_FILE_NAME:vellumix-sim-adapter> ${zip_docs}
  DEPENDS vellumix-cli vellumix-sim-adapter ${zip_doc_files}
  VERBATIM)
add_custom_target(vellumix_zip ALL DEPENDS ${zip})
