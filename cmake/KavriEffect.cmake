# kavri_add_effect(NAME VERSION X.Y.Z SOURCES file... [USES cells])
#
# Builds an effect on the framework as a plug-in module NAME.so in the build
# folder (target NAME_plugin): the framework, graphics, math, utility and
# platform objects, the effect's own sources, and a generated header
# kavri_effect_version.h whose KAVRI_EFFECT_VERSION (and its _MAJOR, _MINOR
# and _PATCH) the description uses, so the version is written once. USES cells
# adds the cell library (cells/: the one-pass sweep, the averaging and its
# kernels). The module exports only EntryPointFunc, g_d, gSequenceContext and
# font8x8, which a test checks; its reference loops are chosen at run time
# (CHECKERWARP_ISA=reference), so the tests compare the module with itself.
# Where Debian's frei0r-plugins-dev gives frei0r.h, it also builds the frei0r
# filter NAME.so in the build's frei0r/ folder (target NAME_frei0r, installed
# in lib/frei0r-1), which hosts the module for ffmpeg, MLT and GStreamer.
# With the filter come the editors' descriptions, written from what the module
# registers (target NAME_editors): editors/kdenlive/frei0r_NAME.xml (installed
# in share/kdenlive/effects) and editors/shotcut/NAME/ (installed in
# share/shotcut/qml/filters/NAME). Every effect's name is recorded in the
# global property KAVRI_EFFECTS, from which the tests find and test each module.
function(kavri_add_effect name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "VERSION" "SOURCES;USES")
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
  set(libraries "")
  foreach(library IN LISTS arg_USES)
    if(NOT TARGET kavri_${library}_objects)
      message(FATAL_ERROR "kavri_add_effect(${name}): no library '${library}' (there is: cells)")
    endif()
    list(APPEND libraries $<TARGET_OBJECTS:kavri_${library}_objects>)
  endforeach()
  add_library(${name}_plugin MODULE $<TARGET_OBJECTS:kavri_framework_objects> ${libraries} $<TARGET_OBJECTS:${name}_objects>)
  set_property(GLOBAL APPEND PROPERTY KAVRI_EFFECTS ${name})
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

  if(NOT CHECKERWARP_FUZZ)
    # the OpenFX bundle: NAME.ofx.bundle/Contents/Linux-x86-64/NAME.ofx
    set(ofx ${PROJECT_SOURCE_DIR}/bridges/openfx)
    set(binary_dir ${CMAKE_BINARY_DIR}/ofx/${name}.ofx.bundle/Contents/Linux-x86-64)
    add_library(${name}_ofx MODULE ${ofx}/ofx_bridge.cpp ${ofx}/ofx_params.cpp ${ofx}/ofx_pixels.cpp
      ${PROJECT_SOURCE_DIR}/bridges/common/hosted_effect.cpp)
    target_include_directories(${name}_ofx PRIVATE ${PROJECT_SOURCE_DIR})
    target_compile_definitions(${name}_ofx PRIVATE KAVRI_BRIDGE_EFFECT="${name}")
    target_link_libraries(${name}_ofx PRIVATE refhost)
    set_target_properties(${name}_ofx PROPERTIES OUTPUT_NAME ${name} PREFIX "" SUFFIX ".ofx"
      LIBRARY_OUTPUT_DIRECTORY ${binary_dir} LINK_DEPENDS ${ofx}/ofx.map)
    target_link_options(${name}_ofx PRIVATE -Wl,--version-script=${ofx}/ofx.map -Wl,--no-undefined)
    add_dependencies(${name}_ofx ${name}_plugin)
    # installed where hosts look (PREFIX/OFX/Plugins), with a copy of the
    # module inside, so the bundle can be moved on its own
    install(TARGETS ${name}_ofx LIBRARY DESTINATION OFX/Plugins/${name}.ofx.bundle/Contents/Linux-x86-64)
    install(TARGETS ${name}_plugin LIBRARY DESTINATION OFX/Plugins/${name}.ofx.bundle/Contents/Linux-x86-64)
    set_property(GLOBAL APPEND PROPERTY KAVRI_OFX_BUNDLES ${name})
    if(CHECKERWARP_TESTS AND NOT CHECKERWARP_SANITIZE)
      add_test(NAME OfxExports.ExactlyTheTwoEntryPoints.${name}
        COMMAND ${CMAKE_COMMAND} -DMODULE=$<TARGET_FILE:${name}_ofx> "-DEXPECTED=OfxGetNumberOfPlugins;OfxGetPlugin"
        -P ${PROJECT_SOURCE_DIR}/tests/check_exports.cmake)
    endif()
  endif()

  if(FREI0R_INCLUDE_DIR AND NOT CHECKERWARP_FUZZ)
    set(bridge ${PROJECT_SOURCE_DIR}/bridges/frei0r)
    add_library(${name}_frei0r MODULE ${bridge}/frei0r_bridge.cpp ${bridge}/bridge_params.cpp
      ${PROJECT_SOURCE_DIR}/bridges/common/hosted_effect.cpp)
    target_include_directories(${name}_frei0r PRIVATE ${PROJECT_SOURCE_DIR} ${FREI0R_INCLUDE_DIR})
    target_compile_definitions(${name}_frei0r PRIVATE KAVRI_BRIDGE_EFFECT="${name}")
    target_link_libraries(${name}_frei0r PRIVATE refhost)
    set_target_properties(${name}_frei0r PROPERTIES OUTPUT_NAME ${name} PREFIX "" SUFFIX ".so"
      LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/frei0r LINK_DEPENDS ${bridge}/frei0r.map)
    target_link_options(${name}_frei0r PRIVATE -Wl,--version-script=${bridge}/frei0r.map -Wl,--no-undefined)
    add_dependencies(${name}_frei0r ${name}_plugin)
    install(TARGETS ${name}_frei0r LIBRARY DESTINATION lib/frei0r-1)

    # the editors' descriptions, written from what the module registers
    set(editors ${CMAKE_BINARY_DIR}/editors)
    set(written ${editors}/kdenlive/frei0r_${name}.xml ${editors}/shotcut/${name}/meta.qml
      ${editors}/shotcut/${name}/ui.qml)
    add_custom_command(OUTPUT ${written}
      COMMAND kavri_editor_files $<TARGET_FILE:${name}_plugin> ${editors}
      DEPENDS ${name}_plugin kavri_editor_files
      COMMENT "Writing the Kdenlive description and the Shotcut UI of ${name}")
    add_custom_target(${name}_editors ALL DEPENDS ${written})
    install(FILES ${editors}/kdenlive/frei0r_${name}.xml DESTINATION share/kdenlive/effects)
    install(FILES ${editors}/shotcut/${name}/meta.qml ${editors}/shotcut/${name}/ui.qml
      DESTINATION share/shotcut/qml/filters/${name})
  endif()

endfunction()
