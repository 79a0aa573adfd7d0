# Install rules and packages: a Debian package on Linux, a ZIP on Windows.
include(GNUInstallDirs)
# An install or a package needs the programs, not the tests: scripts/package
# builds those and cpack would otherwise build everything first.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

set(ZARIT_MAINTAINER "zaritmon authors <zaritmon@example.org>" CACHE STRING
  "Maintainer named in the Debian package and its changelog")
set(ZARIT_PICTURES GreenLedOn.bmp GreenLedOff.bmp RedLedOn.bmp RedLedOff.bmp)
list(TRANSFORM ZARIT_PICTURES PREPEND ${PROJECT_SOURCE_DIR}/app/bitmaps/)

if(WIN32)
  # One folder, as the ZIP unpacks: the program, Qt's DLLs and the pictures.
  set(ZARIT_BIN_DIR .)
  set(ZARIT_DATA_DIR .)
  set(ZARIT_DOC_DIR .)
  set(data_from_bin .)
else()
  set(ZARIT_BIN_DIR ${CMAKE_INSTALL_BINDIR})
  set(ZARIT_DATA_DIR ${CMAKE_INSTALL_DATADIR}/zaritmon)
  set(ZARIT_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/zaritmon)
  file(RELATIVE_PATH data_from_bin ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_DATADIR}/zaritmon)
endif()
# The program finds the installed pictures relative to itself, so that a
# moved install or a package finds them too.
target_compile_definitions(zmonitor_ui PRIVATE ZARIT_DATA_FROM_BIN="${data_from_bin}")

install(TARGETS zaritmon RUNTIME DESTINATION ${ZARIT_BIN_DIR})
install(FILES ${ZARIT_PICTURES} DESTINATION ${ZARIT_DATA_DIR})

if(NOT WIN32)
  # Renamed, since "relay-sim" alone says nothing in /usr/bin. install(PROGRAMS)
  # does not strip as install(TARGETS) does, hence the strip below.
  install(PROGRAMS $<TARGET_FILE:relay-sim> DESTINATION ${ZARIT_BIN_DIR} RENAME zaritmon-relay-sim)
  install(CODE "
    if(CMAKE_INSTALL_DO_STRIP)
      execute_process(COMMAND \"${CMAKE_STRIP}\"
        \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${ZARIT_BIN_DIR}/zaritmon-relay-sim\" COMMAND_ERROR_IS_FATAL ANY)
    endif()")

  # The station and its service, installed but not enabled.
  install(TARGETS zaritmon-station RUNTIME DESTINATION ${ZARIT_BIN_DIR})
  install(FILES ${PROJECT_SOURCE_DIR}/dist/zaritmon-station.service DESTINATION lib/systemd/system)

  install(FILES ${PROJECT_SOURCE_DIR}/dist/zaritmon.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  install(FILES ${PROJECT_SOURCE_DIR}/dist/zaritmon.svg DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)

  # Debian wants the licence as "copyright" and a changelog in every package;
  # a plain install gets the same, so that both lay out the same files.
  file(READ ${PROJECT_SOURCE_DIR}/LICENSE licence)
  string(REGEX REPLACE "\n$" "" licence "${licence}")
  string(REGEX REPLACE "\n\n" "\n.\n" licence "${licence}")
  string(REPLACE "\n" "\n " licence " ${licence}")
  file(CONFIGURE OUTPUT ${PROJECT_BINARY_DIR}/copyright CONTENT
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: zaritmon

Files: *
Copyright: the zaritmon authors
License: Expat
${licence}
")
  # The date of the last commit, the same for every build of it.
  execute_process(COMMAND git log -1 --format=%cD WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
    OUTPUT_VARIABLE ZARIT_CHANGELOG_DATE OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(NOT ZARIT_CHANGELOG_DATE)
    string(TIMESTAMP ZARIT_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
  endif()
  configure_file(${PROJECT_SOURCE_DIR}/dist/changelog.in ${PROJECT_BINARY_DIR}/changelog @ONLY)
  execute_process(COMMAND gzip -9nf changelog WORKING_DIRECTORY ${PROJECT_BINARY_DIR} COMMAND_ERROR_IS_FATAL ANY)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_BINARY_DIR}/copyright ${PROJECT_BINARY_DIR}/changelog.gz
    DESTINATION ${ZARIT_DOC_DIR})
else()
  install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${ZARIT_DOC_DIR})
  install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${ZARIT_DOC_DIR} RENAME LICENSE.txt)
  # Qt's DLLs and plugins beside the program: windeployqt on Windows. A cross
  # build on Linux leaves them to scripts/package-windows, since windeployqt
  # of Qt 6.4 cannot read Windows programs there.
  if(CMAKE_HOST_WIN32)
    find_program(ZARIT_WINDEPLOYQT windeployqt HINTS ${QT6_INSTALL_PREFIX}/${QT6_INSTALL_BINS} REQUIRED)
    install(CODE "
      execute_process(COMMAND \"${ZARIT_WINDEPLOYQT}\" --no-translations
        --dir \"\${CMAKE_INSTALL_PREFIX}\" \"\${CMAKE_INSTALL_PREFIX}/zaritmon.exe\" COMMAND_ERROR_IS_FATAL ANY)")
  endif()
endif()

set(CPACK_PACKAGE_NAME zaritmon)
set(CPACK_PACKAGE_VENDOR "zaritmon authors")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "monitoring station for a Zarit protection relay")
set(CPACK_PACKAGE_DESCRIPTION
"Watches a Zarit digital overcurrent protection relay over a serial line with
Modbus RTU: phase, residual and last-trip currents, the relay's LEDs and
inputs, its setpoints, trends and recording, relay pulses, hand-typed
requests and a journal of every exchange; zaritmon-station does the
polling, the journal and the events as a service, without windows. Comes
with a relay simulator, zaritmon-relay-sim, that plays relays on a
pseudo-terminal.")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME zaritmon-${PROJECT_VERSION}-win64)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${ZARIT_MAINTAINER})
  set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # The station's HTTPS: Debian's CivetWeb opens OpenSSL as libssl.so and
  # libcrypto.so, names only the -dev package installs.
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS libssl-dev)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
endif()
include(CPack)
