# Installs the build into a fresh prefix and checks what lands there: the
# command, every effect's module, frei0r filter and OpenFX bundle (with a copy
# of the module inside), its Kdenlive description and its Shotcut UI; and that the installed command finds its modules
# and its video library.
# Run as: cmake -DBUILD=<build folder> -DPREFIX=<scratch folder> -DEFFECTS=a,b -P check_install.cmake
file(REMOVE_RECURSE ${PREFIX})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD} --prefix ${PREFIX} RESULT_VARIABLE status OUTPUT_QUIET)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "cmake --install failed: ${status}")
endif()
string(REPLACE "," ";" effects "${EFFECTS}")
set(missing "")
foreach(effect IN LISTS effects)
  foreach(file lib/checkerwarp/${effect}.so lib/frei0r-1/${effect}.so share/kdenlive/effects/frei0r_${effect}.xml
               share/shotcut/qml/filters/${effect}/meta.qml share/shotcut/qml/filters/${effect}/ui.qml
               OFX/Plugins/${effect}.ofx.bundle/Contents/Linux-x86-64/${effect}.ofx
               OFX/Plugins/${effect}.ofx.bundle/Contents/Linux-x86-64/${effect}.so)
    if(NOT EXISTS ${PREFIX}/${file})
      list(APPEND missing ${file})
    endif()
  endforeach()
  execute_process(COMMAND ${PREFIX}/bin/checkerwarp about --plugin ${effect} RESULT_VARIABLE found OUTPUT_QUIET)
  if(NOT found EQUAL 0)
    list(APPEND missing "the installed command's ${effect}")
  endif()
endforeach()
# the video library, found by the installed command the first time it writes a video
if(NOT EXISTS ${PREFIX}/lib/checkerwarp/checkerwarp_video.so)
  list(APPEND missing lib/checkerwarp/checkerwarp_video.so)
endif()
execute_process(COMMAND ${PREFIX}/bin/checkerwarp render --demo ${PREFIX}/demo.mkv --duration 2 --quiet
                RESULT_VARIABLE wrote OUTPUT_QUIET ERROR_VARIABLE said)
if(NOT wrote EQUAL 0 OR NOT EXISTS ${PREFIX}/demo.mkv)
  list(APPEND missing "a video from the installed command (${said})")
endif()
file(REMOVE_RECURSE ${PREFIX})
if(missing)
  message(FATAL_ERROR "not installed: ${missing}")
endif()
message(STATUS "installed: every effect's module, filter, OpenFX bundle, Kdenlive description and Shotcut UI")
