# Shared build settings every target links: C++20, warnings, strict Qt, optional sanitizers.
add_library(vellumix_config INTERFACE)
target_compile_features(vellumix_config INTERFACE cxx_std_20)
set(CMAKE_CXX_EXTENSIONS OFF)
target_compile_options(vellumix_config INTERFACE -Wall -Wextra -Wpedantic)
if(MINGW AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
  # The mingw-w64 GCC 12 warns falsely on "text" + std::string (-Wrestrict, GCC bug 105329):
  # off there rather than such code bent around it.
  target_compile_options(vellumix_config INTERFACE -Wno-restrict)
endif()
target_compile_definitions(vellumix_config INTERFACE QT_NO_CAST_FROM_ASCII QT_NO_KEYWORDS)
if(VELLUMIX_SANITIZE)
  target_compile_options(vellumix_config INTERFACE -fsanitize=address,undefined -fno-omit-frame-pointer
                                                   -fno-sanitize-recover=undefined)
  target_link_options(vellumix_config INTERFACE -fsanitize=address,undefined)
endif()

if(VELLUMIX_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "VELLUMIX_FUZZ needs clang: configure with -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang")
  endif()
  # Coverage for the fuzzer in every library the targets link, and both sanitizers to turn silent
  # faults into findings.
  target_compile_options(vellumix_config INTERFACE -fsanitize=fuzzer-no-link,address,undefined
                                                   -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  target_link_options(vellumix_config INTERFACE -fsanitize=address,undefined)
endif()

# vellumix_add_test(NAME name LABEL label SOURCES ... [LIBS ...] [OFFSCREEN])
function(vellumix_add_test)
  cmake_parse_arguments(T "OFFSCREEN" "NAME;LABEL" "SOURCES;LIBS" ${ARGN})
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE vellumix_core GTest::gtest GTest::gmock GTest::gtest_main ${T_LIBS})
  target_compile_definitions(${T_NAME} PRIVATE VELLUMIX_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
                                               VELLUMIX_SHARED_DIR="${PROJECT_SOURCE_DIR}/../shared")
  add_test(NAME ${T_NAME} COMMAND ${T_NAME})
  set_tests_properties(${T_NAME} PROPERTIES LABELS "${T_LABEL}" TIMEOUT 300)
  if(T_OFFSCREEN)
    set_tests_properties(${T_NAME} PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=offscreen")
  endif()
endfunction()
