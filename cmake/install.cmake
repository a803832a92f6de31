# Installation and the Debian package.
#
# The programs find their siblings only next to their own executable, so all
# of them go into one program folder (lib/tarnwick); the two that people start
# by name are linked into bin/. The broker's systemd unit, the man pages and
# the bash completion go where Debian looks for them.
include(GNUInstallDirs)

set(TW_INSTALL_PROGRAM_SUBDIR lib/tarnwick)
set(TW_INSTALL_PROGRAM_DIR ${CMAKE_INSTALL_PREFIX}/${TW_INSTALL_PROGRAM_SUBDIR})

set(tw_installed_programs "")
foreach(program tarnwick tarnwick-engine tarnwick-worker tarnwick-broker tarnwick-initiator
                tarnwick-service tarnwick-gui)
  if(TARGET ${program})
    list(APPEND tw_installed_programs ${program})
  endif()
endforeach()
install(TARGETS ${tw_installed_programs} RUNTIME DESTINATION ${TW_INSTALL_PROGRAM_SUBDIR})

# Relative links, so that a staged (DESTDIR) installation works where it lies.
foreach(program tarnwick tarnwick-gui)
  if(TARGET ${program})
    file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/install-links)
    file(CREATE_LINK ../lib/tarnwick/${program} ${CMAKE_BINARY_DIR}/install-links/${program}
         SYMBOLIC)
    install(FILES ${CMAKE_BINARY_DIR}/install-links/${program} DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()

# The desktop application's menu entry and its icon (the icon theme's
# scalable size serves every size).
if(TARGET tarnwick-gui)
  install(FILES ${PROJECT_SOURCE_DIR}/gui/tarnwick.desktop
          DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  install(FILES ${PROJECT_SOURCE_DIR}/gui/icons/tarnwick.svg
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
endif()

configure_file(${PROJECT_SOURCE_DIR}/packaging/tarnwick-broker.service.in
               ${CMAKE_BINARY_DIR}/tarnwick-broker.service @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/tarnwick-broker.service DESTINATION lib/systemd/system)

# Man pages are installed compressed, as Debian keeps them (-n: no time stamp,
# so the same page always gives the same file).
set(tw_man_pages "")
foreach(page tarnwick.1 tarnwick-broker.8)
  string(REGEX REPLACE ".*\\." "" section ${page})
  set(compressed ${CMAKE_BINARY_DIR}/man/${page}.gz)
  add_custom_command(OUTPUT ${compressed}
                     COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
                     COMMAND gzip -9nc ${PROJECT_SOURCE_DIR}/doc/man/${page} > ${compressed}
                     DEPENDS ${PROJECT_SOURCE_DIR}/doc/man/${page} VERBATIM)
  list(APPEND tw_man_pages ${compressed})
  install(FILES ${compressed} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
endforeach()
add_custom_target(man_pages ALL DEPENDS ${tw_man_pages})

if(EXISTS ${PROJECT_SOURCE_DIR}/cli/completion/tarnwick.bash)
  install(FILES ${PROJECT_SOURCE_DIR}/cli/completion/tarnwick.bash
          DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME tarnwick)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tarnwick)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Tarnwick <team@tarnwick.com>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "encrypted disk-image containers that mount as drives")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Tarnwick keeps whole disk images in encrypted container files (.zcx),\n creates them pre-formatted, converts and verifies them without ever\n overwriting the original, and mounts them as ordinary filesystems.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Library dependencies come from the linked programs themselves.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The mounts need FUSE; the filesystem tools format, check and mount volumes.
# The window loads Qt's platform plugins (X11, Wayland) and its SVG icon
# through plugins that no linked library names; Qt's own translations put
# the standard buttons of the window in its language.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "fuse3, qt6-qpa-plugins, libqt6svg6")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS
    "fusefat, exfat-fuse, ntfs-3g, dosfstools, exfatprogs, policykit-1 | sudo, qt6-translations-l10n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/packaging/debian/postinst ${PROJECT_SOURCE_DIR}/packaging/debian/prerm
    ${PROJECT_SOURCE_DIR}/packaging/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The package installs where the build was configured to (scripts configure
# the packaged build with CMAKE_INSTALL_PREFIX=/usr), so the unit's path holds.
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
include(CPack)
