# The Debian package (CPack DEB): `cpack -G DEB` in a build folder, or `bash tools/package.sh`
# for a Release build of its own. Installed under /usr: the programs in bin/, the settings tool
# the launcher uses in lib/ktev/, the catalogue, sounds and demo scenario in share/ktev/ (the
# program finds that folder from its own path, so an unpacked package works anywhere).
set(KTEV_PACKAGING ${CMAKE_SOURCE_DIR}/packaging)

install(TARGETS ktev ktev-bus-sim RUNTIME DESTINATION bin)
install(PROGRAMS ${CMAKE_SOURCE_DIR}/tools/ktev-workstation.sh DESTINATION bin
  RENAME ktev-workstation)
install(TARGETS ktev-ini RUNTIME DESTINATION lib/ktev)
install(FILES ${CMAKE_SOURCE_DIR}/TevMessages.ini DESTINATION share/ktev)
install(DIRECTORY ${CMAKE_SOURCE_DIR}/sound DESTINATION share/ktev FILES_MATCHING PATTERN "*.wav")
install(FILES ${CMAKE_SOURCE_DIR}/tools/scenarios/demo.txt DESTINATION share/ktev/scenarios)
install(FILES ${KTEV_PACKAGING}/ktev.desktop DESTINATION share/applications)
install(FILES ${CMAKE_SOURCE_DIR}/ui/icons/ktev.svg DESTINATION share/icons/hicolor/scalable/apps)
install(FILES ${KTEV_PACKAGING}/copyright ${CMAKE_SOURCE_DIR}/LICENSE DESTINATION share/doc/ktev)

# Manual pages go compressed, without a time stamp in the gzip header (Debian policy).
set(man_dir ${CMAKE_BINARY_DIR}/packaging/man1)
set(man_pages)
foreach(page ktev ktev-bus-sim)
  add_custom_command(OUTPUT ${man_dir}/${page}.1.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${man_dir}
    COMMAND sh -c "gzip -9n -c \"$1\" > \"$2\"" sh ${KTEV_PACKAGING}/${page}.1
      ${man_dir}/${page}.1.gz
    DEPENDS ${KTEV_PACKAGING}/${page}.1
    COMMENT "Compressing the manual page ${page}.1"
    VERBATIM)
  list(APPEND man_pages ${man_dir}/${page}.1.gz)
endforeach()
add_custom_target(ktev_man ALL DEPENDS ${man_pages})
# The launcher is described in ktev(1).
file(MAKE_DIRECTORY ${man_dir})
file(CREATE_LINK ktev.1.gz ${man_dir}/ktev-workstation.1.gz SYMBOLIC)
install(FILES ${man_pages} ${man_dir}/ktev-workstation.1.gz DESTINATION share/man/man1)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ktev)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Кордея-ТЛ developers")
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Кордея-ТЛ operator workstation")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "The operator's window of an alarm and fire system, wired through a serial
port and an RS-485 adapter to a bus of control panels: events stored in SQLite,
listed and exported, devices in a tree, alarm sounds, remote commands. With the
bus simulator and its demo scenario, which the menu entry starts while no real
port is configured.")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# What the linked libraries do not say: Qt's platform plugins (xcb, offscreen) and the SVG image
# plugin for the icons. The multimedia backend plugins come with libqt6multimedia6, which the
# program links (the sounds play over PulseAudio, or PipeWire's PulseAudio server).
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins, libqt6svg6")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "qt6-translations-l10n, pipewire-pulse | pulseaudio")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
include(CPack)
