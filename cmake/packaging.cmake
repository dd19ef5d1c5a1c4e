# Release packages: on Linux a .deb and a portable .tar.gz that needs nothing
# installed; on Windows a .zip holding quelmar.exe alone.
set(CPACK_PACKAGE_NAME quelmar)
set(CPACK_PACKAGE_VENDOR "Quelmar")
set(CPACK_PACKAGE_CONTACT "Quelmar developers <quelmar@users.noreply.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Lists and deletes the Blueprints.pak archives of a Rail Simulator installation")
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
execute_process(COMMAND bash ${PROJECT_SOURCE_DIR}/scripts/make-portable.sh $<TARGET_FILE:quelmar>
                        ${PROJECT_VERSION} ${QUELMAR_PORTABLE_ARCHIVE}
                COMMAND_ERROR_IS_FATAL ANY)
")
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION games)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # The X11 platform plugin and the fonts the window is laid out for.
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins, fonts-liberation")
endif()
include(CPack)
