# kavri_add_effect(NAME VERSION X.Y.Z SOURCES file... [REFERENCE_TWIN])
#
# Builds an effect on the framework as a plug-in module NAME.so in the build
# folder (target NAME_plugin): the framework, graphics, math, utility and
# platform objects, the effect's own sources, and a generated header
# kavri_effect_version.h whose KAVRI_EFFECT_VERSION_MAJOR, _MINOR and _PATCH
# its description uses, so the version is written once. The module exports
# only EntryPointFunc, g_d, gSequenceContext and font8x8, which a test checks.
# Where Debian's frei0r-plugins-dev gives frei0r.h, it also builds the frei0r
# filter NAME.so in the build's frei0r/ folder (target NAME_frei0r, installed
# in lib/frei0r-1), which hosts the module for ffmpeg, MLT and GStreamer.
# REFERENCE_TWIN also builds NAME_reference.so (target NAME_reference_plugin):
# the same sources with the straightforward pixel loops, for the tests that
# require the fast paths to give identical output.
function(kavri_add_effect name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "REFERENCE_TWIN" "VERSION" "SOURCES")
  if(NOT arg_VERSION OR NOT arg_SOURCES)
    message(FATAL_ERROR "kavri_add_effect(${name}) needs VERSION and SOURCES")
  endif()
  string(REPLACE "." ";" parts "${arg_VERSION}")
  list(GET parts 0 KAVRI_EFFECT_VERSION_MAJOR)
  list(GET parts 1 KAVRI_EFFECT_VERSION_MINOR)
  list(GET parts 2 KAVRI_EFFECT_VERSION_PATCH)
  set(generated ${CMAKE_CURRENT_BINARY_DIR}/${name}_generated)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/kavri_effect_version.h.in ${generated}/kavri_effect_version.h @ONLY)

  add_library(${name}_objects OBJECT ${arg_SOURCES})
  target_include_directories(${name}_objects PUBLIC ${PROJECT_SOURCE_DIR} ${generated})

  set(map ${PROJECT_SOURCE_DIR}/framework/checkerwarp.map)
  add_library(${name}_plugin MODULE $<TARGET_OBJECTS:kavri_framework_objects> $<TARGET_OBJECTS:${name}_objects>)
  set_target_properties(${name}_plugin PROPERTIES OUTPUT_NAME ${name} PREFIX "" SUFFIX ".so"
    LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR} LINK_DEPENDS ${map})
  # The export list is the visibility macro's; the version script is the backstop.
  # -Bsymbolic keeps the module's own references inside the module.
  target_link_options(${name}_plugin PRIVATE -Wl,--version-script=${map} -Wl,-Bsymbolic -Wl,--no-undefined)
  install(TARGETS ${name}_plugin LIBRARY DESTINATION lib/checkerwarp)

  if(CHECKERWARP_TESTS AND NOT CHECKERWARP_SANITIZE)
    # the plain build only: sanitizer runtimes add symbols of their own
    add_test(NAME ModuleExports.ExactlyTheFourNames.${name}
      COMMAND ${CMAKE_COMMAND} -DMODULE=$<TARGET_FILE:${name}_plugin> -P ${PROJECT_SOURCE_DIR}/tests/check_exports.cmake)
  endif()

  if(FREI0R_INCLUDE_DIR AND NOT CHECKERWARP_FUZZ)
    set(bridge ${PROJECT_SOURCE_DIR}/bridges/frei0r)
    add_library(${name}_frei0r MODULE ${bridge}/frei0r_bridge.cpp ${bridge}/bridge_params.cpp)
    target_include_directories(${name}_frei0r PRIVATE ${PROJECT_SOURCE_DIR} ${FREI0R_INCLUDE_DIR})
    target_compile_definitions(${name}_frei0r PRIVATE KAVRI_BRIDGE_EFFECT="${name}")
    target_link_libraries(${name}_frei0r PRIVATE refhost)
    set_target_properties(${name}_frei0r PROPERTIES OUTPUT_NAME ${name} PREFIX "" SUFFIX ".so"
      LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/frei0r LINK_DEPENDS ${bridge}/frei0r.map)
    target_link_options(${name}_frei0r PRIVATE -Wl,--version-script=${bridge}/frei0r.map -Wl,--no-undefined)
    add_dependencies(${name}_frei0r ${name}_plugin)
    install(TARGETS ${name}_frei0r LIBRARY DESTINATION lib/frei0r-1)
  endif()

  if(arg_REFERENCE_TWIN AND CHECKERWARP_TESTS)
    get_target_property(framework_sources kavri_framework_objects SOURCES)
    add_library(${name}_reference_plugin MODULE ${framework_sources} ${arg_SOURCES})
    target_include_directories(${name}_reference_plugin PRIVATE ${PROJECT_SOURCE_DIR} ${generated})
    target_compile_definitions(${name}_reference_plugin PRIVATE KAVRI_REFERENCE_PATHS=1)
    set_target_properties(${name}_reference_plugin PROPERTIES OUTPUT_NAME ${name}_reference PREFIX "" SUFFIX ".so"
      LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
    target_link_options(${name}_reference_plugin PRIVATE -Wl,--version-script=${map} -Wl,-Bsymbolic -Wl,--no-undefined)
  endif()
endfunction()
