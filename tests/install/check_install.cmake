# cmake -DBUILD_DIR=... -DWORK_DIR=... -DSOURCE_DIR=... -DVERSION=... -P check_install.cmake
set(prefix /opt/qel-ndi-lirafon-test)
set(root ${WORK_DIR}${prefix})
file(REMOVE_RECURSE ${WORK_DIR})

function(fail message)
  file(REMOVE_RECURSE ${WORK_DIR})
  message(FATAL_ERROR "${message}")
endfunction()

execute_process(
  COMMAND ${CMAKE_COMMAND} -E env DESTDIR=${WORK_DIR}
          ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix}
  RESULT_VARIABLE status OUTPUT_VARIABLE log ERROR_VARIABLE log)
if(NOT status EQUAL 0)
  fail("cmake --install failed (${status}):\n${log}")
endif()

# --version must work with no display at all and without a Qt platform chosen.
execute_process(
  COMMAND ${CMAKE_COMMAND} -E env --unset=DISPLAY --unset=WAYLAND_DISPLAY --unset=QT_QPA_PLATFORM
          ${root}/bin/ndi-lirafon --version
  RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT status EQUAL 0 OR NOT out STREQUAL "ndi-lirafon ${VERSION}\n")
  fail("installed ndi-lirafon --version: status ${status}, output '${out}', errors '${err}'")
endif()

# The far end's analyser is installed with the program.
execute_process(COMMAND ${root}/bin/lirafon-check --version
  RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT status EQUAL 0 OR NOT out STREQUAL "lirafon-check ${VERSION}\n")
  fail("installed lirafon-check --version: status ${status}, output '${out}', errors '${err}'")
endif()

# F1 looks for the help page at ../share/qel-ndi-lirafon/help.html from the program's folder.
file(SHA256 ${SOURCE_DIR}/docs/help.html expected_help)
if(NOT EXISTS ${root}/bin/../share/qel-ndi-lirafon/help.html)
  fail("help page not installed next to the program")
endif()
file(SHA256 ${root}/share/qel-ndi-lirafon/help.html installed_help)
if(NOT installed_help STREQUAL expected_help)
  fail("installed help page differs from docs/help.html")
endif()

set(desktop ${root}/share/applications/qel-ndi-lirafon.desktop)
if(NOT EXISTS ${desktop})
  fail("desktop entry not installed")
endif()
file(STRINGS ${desktop} icon_line REGEX "^Icon=")
file(STRINGS ${desktop} exec_line REGEX "^Exec=")
if(NOT icon_line STREQUAL "Icon=qel-ndi-lirafon" OR NOT exec_line STREQUAL "Exec=ndi-lirafon")
  fail("desktop entry names '${icon_line}' and '${exec_line}'")
endif()
find_program(validate desktop-file-validate)
if(validate)
  execute_process(COMMAND ${validate} ${desktop} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT status EQUAL 0 OR NOT out STREQUAL "")
    fail("desktop-file-validate: ${out}")
  endif()
endif()

foreach(size 16 24 32 48 64 72 96 128)
  set(icon ${root}/share/icons/hicolor/${size}x${size}/apps/qel-ndi-lirafon.png)
  if(NOT EXISTS ${icon})
    fail("icon ${size}x${size} not installed")
  endif()
  # A PNG's width and height are big-endian words at bytes 16 and 20.
  file(READ ${icon} header OFFSET 16 LIMIT 8 HEX)
  string(SUBSTRING ${header} 0 8 width_hex)
  string(SUBSTRING ${header} 8 8 height_hex)
  math(EXPR width "0x${width_hex}")
  math(EXPR height "0x${height_hex}")
  if(NOT width EQUAL size OR NOT height EQUAL size)
    fail("icon in ${size}x${size} is ${width}x${height}")
  endif()
endforeach()

set(unit ${root}/lib/systemd/user/ndi-lirafon.service)
if(NOT EXISTS ${unit})
  fail("systemd user unit not installed")
endif()
file(READ ${unit} unit_text)
foreach(line "ExecStart=${prefix}/bin/ndi-lirafon" "Environment=QT_QPA_PLATFORM=offscreen"
             "KillSignal=SIGTERM" "Restart=on-failure")
  string(FIND "${unit_text}" "\n${line}\n" at)
  if(at EQUAL -1)
    fail("unit lacks '${line}':\n${unit_text}")
  endif()
endforeach()
if(unit_text MATCHES "@[A-Z_]+@")
  fail("unit has an unreplaced placeholder:\n${unit_text}")
endif()

set(probe ${root}/lib/systemd/user/lirafon-probe.service)
if(NOT EXISTS ${probe})
  fail("the probe's systemd user unit not installed")
endif()
file(READ ${probe} probe_text)
foreach(line "ExecStart=${prefix}/bin/lirafon-check --monitor $LIRAFON_PROBE_OPTIONS $LIRAFON_PROBE_INPUTS"
             "EnvironmentFile=-%h/.config/qel-ndi-lirafon/probe.environment" "KillSignal=SIGTERM")
  string(FIND "${probe_text}" "\n${line}\n" at)
  if(at EQUAL -1)
    fail("the probe's unit lacks '${line}':\n${probe_text}")
  endif()
endforeach()
if(probe_text MATCHES "@[A-Z_]+@")
  fail("the probe's unit has an unreplaced placeholder:\n${probe_text}")
endif()

file(REMOVE_RECURSE ${WORK_DIR})
