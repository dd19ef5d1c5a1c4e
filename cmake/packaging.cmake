# Release packages: on Linux a .deb and a portable .tar.gz that needs nothing
# installed; on Windows a .zip holding quelmar.exe and quelmar.com.

# What Debian wants beside the program: the copyright file (from LICENSE), the
# changelog and manual page gzipped -9n so that the package is the same
# byte for byte whenever it is built, the AppStream metadata software centres
# list it by, and the lintian overrides, each with its reason.
function(quelmar_install_debian_files)
  set(src ${PROJECT_SOURCE_DIR}/resources)
  set(out ${CMAKE_BINARY_DIR}/debian)
  set(doc ${CMAKE_INSTALL_DATADIR}/doc/quelmar)

  file(READ ${PROJECT_SOURCE_DIR}/LICENSE license)
  if(NOT license MATCHES "\nCopyright \\(c\\) ([^\n]+)\n\n(.*[^\n])\n*$")
    message(FATAL_ERROR "LICENSE has no \"Copyright (c) ...\" line followed by the license text")
  endif()
  set(QUELMAR_COPYRIGHT "${CMAKE_MATCH_1}")
  # A field's continuation lines start with a space; an empty one is " .".
  string(REPLACE "\n" "\n " QUELMAR_LICENSE_TEXT " ${CMAKE_MATCH_2}")
  string(REPLACE "\n \n" "\n .\n" QUELMAR_LICENSE_TEXT "${QUELMAR_LICENSE_TEXT}")
  configure_file(${src}/debian/copyright.in ${out}/copyright @ONLY)

  execute_process(COMMAND date -u -R -d ${QUELMAR_RELEASE_DATE}
                  OUTPUT_VARIABLE QUELMAR_RELEASE_DATE_RFC2822 OUTPUT_STRIP_TRAILING_WHITESPACE
                  COMMAND_ERROR_IS_FATAL ANY)
  configure_file(${src}/debian/changelog.in ${out}/changelog @ONLY)
  configure_file(${src}/org.quelmar.Quelmar.metainfo.xml.in ${out}/org.quelmar.Quelmar.metainfo.xml @ONLY)
  configure_file(${src}/quelmar.1 ${out}/quelmar.1 COPYONLY)
  foreach(file changelog quelmar.1)
    execute_process(COMMAND gzip -9nc ${out}/${file} OUTPUT_FILE ${out}/${file}.gz COMMAND_ERROR_IS_FATAL ANY)
  endforeach()

  install(FILES ${out}/copyright ${out}/changelog.gz DESTINATION ${doc})
  install(FILES ${out}/quelmar.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${out}/org.quelmar.Quelmar.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
endfunction()

set(CPACK_PACKAGE_NAME quelmar)
set(CPACK_PACKAGE_VENDOR "Quelmar")
set(CPACK_PACKAGE_CONTACT "Quelmar developers <quelmar@users.noreply.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Lists and deletes the Blueprints.pak archives of a Rail Simulator installation")
set(CPACK_PACKAGE_DESCRIPTION "\
Quelmar is a small desktop tool for players of Rail Simulator. Point it once
at the game's RailSim.exe: it remembers that folder, lists every
Blueprints.pak archive one and two folders below the game's Assets folder,
and on request deletes them all and tells how many it deleted.

It never touches any other file, and it explains every refusal and failure.
When no game folder is stored yet, it looks for the game in the Steam
libraries and Wine prefixes it finds.")
set(QUELMAR_HOMEPAGE "https://quelmar.org/")
set(CPACK_PACKAGE_HOMEPAGE_URL ${QUELMAR_HOMEPAGE})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_STRIP_FILES ON)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
  set(CPACK_PACKAGE_FILE_NAME "quelmar-${PROJECT_VERSION}-windows-x64")
else()
  # The portable archive is made by a script of ours, run by CPack's External
  # generator alongside the .deb so that one "package" target makes both.
  set(CPACK_GENERATOR DEB External)
  set(CPACK_EXTERNAL_PACKAGE_SCRIPT ${CMAKE_BINARY_DIR}/make-portable.cmake)
  set(QUELMAR_PORTABLE_ARCHIVE ${CMAKE_BINARY_DIR}/quelmar-${PROJECT_VERSION}-linux-x86_64.tar.gz)
  file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/make-portable.cmake CONTENT "
execute_process(COMMAND bash ${PROJECT_SOURCE_DIR}/scripts/make-portable.sh $<TARGET_FILE:quelmar_window>
                        ${PROJECT_VERSION} ${QUELMAR_PORTABLE_ARCHIVE}
                COMMAND_ERROR_IS_FATAL ANY)
")
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  # A tool beside a game rather than a game: lintian holds the games section
  # to programs in /usr/games.
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # The X11 platform plugin and the fonts the window is laid out for.
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins, fonts-liberation")
  # Control files 644 and scripts 755, as dpkg and lintian want them.
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  quelmar_install_debian_files()
endif()
include(CPack)
