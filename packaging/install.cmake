# What `cmake --install` puts in place, and the Debian package that CPack
# builds from the same install: the programs, a man page each, their bash
# completion, the systemd unit template, the README, the copyright notice and
# the Debian changelog.
include(GNUInstallDirs)

set(QUORVANTIX_MAN_PAGES quorvantix)
install(TARGETS quorvantix RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
foreach(program quorvantix-customer quorvantix-linesim quorvantix-mount)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    list(APPEND QUORVANTIX_MAN_PAGES ${program})
  endif()
endforeach()

# Bash completion for both programs, where bash-completion looks for it: its
# completionsdir, taken below our own prefix (bash-completion also looks in
# /usr/local/share/...), or the usual place when pkg-config or
# bash-completion is missing at build time.
set(QUORVANTIX_COMPLETIONS_DIR ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
find_program(QUORVANTIX_PKG_CONFIG pkg-config)
if(QUORVANTIX_PKG_CONFIG)
  execute_process(COMMAND ${QUORVANTIX_PKG_CONFIG} --variable=completionsdir bash-completion
                  OUTPUT_VARIABLE completions_dir OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  execute_process(COMMAND ${QUORVANTIX_PKG_CONFIG} --variable=prefix bash-completion
                  OUTPUT_VARIABLE completions_prefix OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  string(LENGTH "${completions_prefix}/" prefix_length)
  string(FIND "${completions_dir}" "${completions_prefix}/" prefix_at)
  if(completions_prefix AND prefix_at EQUAL 0)
    string(SUBSTRING "${completions_dir}" ${prefix_length} -1 QUORVANTIX_COMPLETIONS_DIR)
  endif()
endif()
foreach(program quorvantix quorvantix-customer)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/bash-completion/quorvantix
          DESTINATION ${QUORVANTIX_COMPLETIONS_DIR} RENAME ${program})
endforeach()

# Man pages go out compressed, as man-db and Debian expect them.
set(QUORVANTIX_COMPRESSED_MAN_PAGES)
foreach(page ${QUORVANTIX_MAN_PAGES})
  set(source ${PROJECT_SOURCE_DIR}/man/${page}.1)
  set(compressed ${PROJECT_BINARY_DIR}/man/${page}.1.gz)
  add_custom_command(OUTPUT ${compressed}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
    COMMAND gzip -9 -n -c ${source} > ${compressed}
    DEPENDS ${source} VERBATIM)
  list(APPEND QUORVANTIX_COMPRESSED_MAN_PAGES ${compressed})
endforeach()
add_custom_target(man_pages ALL DEPENDS ${QUORVANTIX_COMPRESSED_MAN_PAGES})
install(FILES ${QUORVANTIX_COMPRESSED_MAN_PAGES} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# The unit names /usr/bin/quorvantix, where the package puts it; an install
# elsewhere gets a unit that names the program where it went. A service built
# without libsystemd sends no notification: its unit waits for none.
set(QUORVANTIX_UNIT_SOURCE ${PROJECT_SOURCE_DIR}/packaging/systemd/quorvantix@.service)
set(QUORVANTIX_UNIT_BUILT ${PROJECT_BINARY_DIR}/packaging/quorvantix@.service)
install(CODE "
  file(READ \"${QUORVANTIX_UNIT_SOURCE}\" unit)
  string(REPLACE \"/usr/bin/quorvantix\" \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/quorvantix\" unit \"\${unit}\")
  if(NOT \"${QUORVANTIX_NOTIFIES}\" STREQUAL \"ON\")
    string(REPLACE \"Type=notify\" \"Type=exec\" unit \"\${unit}\")
    string(REGEX REPLACE \"WatchdogSec=[^\\n]*\\n\" \"\" unit \"\${unit}\")
  endif()
  file(WRITE \"${QUORVANTIX_UNIT_BUILT}\" \"\${unit}\")
")
install(FILES ${QUORVANTIX_UNIT_BUILT} DESTINATION lib/systemd/system)
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/docs FILES_MATCHING PATTERN "*.md")

# The licence in Debian's machine-readable form, and the package's changelog,
# compressed as Debian expects it (-n: the same bytes from every build).
install(FILES ${PROJECT_SOURCE_DIR}/packaging/debian/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})
set(QUORVANTIX_CHANGELOG ${PROJECT_BINARY_DIR}/packaging/changelog.Debian.gz)
add_custom_command(OUTPUT ${QUORVANTIX_CHANGELOG}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/packaging
  COMMAND gzip -9 -n -c ${PROJECT_SOURCE_DIR}/packaging/debian/changelog > ${QUORVANTIX_CHANGELOG}
  DEPENDS ${PROJECT_SOURCE_DIR}/packaging/debian/changelog VERBATIM)
add_custom_target(debian_changelog ALL DEPENDS ${QUORVANTIX_CHANGELOG})
install(FILES ${QUORVANTIX_CHANGELOG} DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quorvantix)
set(CPACK_PACKAGE_VENDOR Quorvantix)
set(CPACK_PACKAGE_CONTACT "Quorvantix maintainers <maintainers@quorvantix.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "serial-line file-transfer service")
set(CPACK_PACKAGE_DESCRIPTION "Serves a directory to a customer at the other end of a serial cable,
an emulator's virtual serial port or a terminal server, with its own
stop-and-wait link protocol: framed blocks, each answered by one byte.
Comes with the customer program, the line simulator and quorvantix-mount,
which shows the service's folders as a folder on this machine (FUSE).")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION comm)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The mount needs fusermount3 and /dev/fuse set up, beside the library.
if(TARGET quorvantix-mount)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS fuse3)
endif()
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/packaging/debian/postinst
    ${PROJECT_SOURCE_DIR}/packaging/debian/postrm)
include(CPack)
