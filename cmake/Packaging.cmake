# Installed extras and the Debian package. `cpack -G DEB` in a build directory
# (scripts/make-package.sh does it from the release build) makes
# quillon_<version>_amd64.deb from the install rules.
include(GNUInstallDirs)

# Man pages from the programs' own --help and --version, so that they cannot drift.
find_program(HELP2MAN help2man)
if(HELP2MAN AND NOT QUILLON_FUZZ)
  set(man_pages "")
  set(name_quillon-card "create and manage GIDS smart cards kept on USB sticks")
  set(name_quillon-wizard "the dialog that creates GIDS smart cards on USB sticks")
  set(name_quillon-manager "see and manage the GIDS smart card the virtual reader serves")
  foreach(program quillon-card quillon-wizard quillon-manager)
    if(NOT TARGET ${program})
      continue()
    endif()
    set(page ${CMAKE_BINARY_DIR}/man/${program}.1.gz)
    add_custom_command(OUTPUT ${page}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
      COMMAND ${CMAKE_COMMAND} -E env QT_QPA_PLATFORM=offscreen
              ${HELP2MAN} --no-info --no-discard-stderr --section=1 "--name=${name_${program}}"
              --output=${CMAKE_BINARY_DIR}/man/${program}.1
              $<TARGET_FILE:${program}>
      COMMAND gzip -9nf ${CMAKE_BINARY_DIR}/man/${program}.1
      DEPENDS ${program}
      COMMENT "Man page of ${program}"
      VERBATIM)
    list(APPEND man_pages ${page})
  endforeach()
  add_custom_target(man_pages ALL DEPENDS ${man_pages})
  install(FILES ${man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
else()
  message(STATUS "no man pages (help2man not found, or a fuzzing build)")
endif()

install(FILES data/quillon-card.bash-completion DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
        RENAME quillon-card)
install(FILES packaging/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_PACKAGE_NAME quillon)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Quillon team <team@quillon.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "GIDS smart card kept on a USB stick, with a virtual PC/SC reader")
string(CONCAT CPACK_DEBIAN_PACKAGE_DESCRIPTION
  "${CPACK_PACKAGE_DESCRIPTION_SUMMARY}\n"
  "Turns a removable USB drive into a GIDS smart card: the card lives as one\n"
  "encrypted file on the drive, sealed with a key derived from the USB device's\n"
  "own identity. A pcsc-lite driver, the Brindleworth Virtual Reader, serves it\n"
  "to every PC/SC program (OpenSC, browsers through NSS, ssh, p11-kit).\n"
  "Includes the wizard that creates cards, the smart-card manager and the\n"
  "quillon-card command.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# What dpkg-shlibdeps cannot see: the daemon that loads the driver, and the Qt
# plugins the desktop programs load at run time.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "pcscd, qt6-qpa-plugins, libqt6svg6")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "opensc, opensc-pkcs11")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/packaging/postinst ${PROJECT_SOURCE_DIR}/packaging/postrm
    ${PROJECT_SOURCE_DIR}/packaging/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES TRUE)
include(CPack)
