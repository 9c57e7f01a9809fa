# The Debian package (`make package`, CPack's DEB generator): the four programs, the menu entry
# with its icons, the systemd user unit of the service, the manual pages. The libraries' packages
# come from dpkg-shlibdeps; the programs the system starts (fusermount3, ffmpeg) are named here.
include(GNUInstallDirs)

set(_pkg ${CMAKE_SOURCE_DIR}/packaging)
set(_out ${CMAKE_BINARY_DIR}/packaging)

# Every program answers --version with the package's version.
foreach(_t tesselsvc tesseltool tesselutilfs)
  if(TARGET ${_t})
    target_compile_definitions(${_t} PRIVATE TESSEL_VERSION="${PROJECT_VERSION}")
  endif()
endforeach()

set(_programs tesselutilbrowser tesselsvc tesseltool)
if(TARGET tesselutilfs)
  list(APPEND _programs tesselutilfs)
endif()
install(TARGETS ${_programs} DESTINATION ${CMAKE_INSTALL_BINDIR})
# What `make run` builds: the programs without the tests.
add_custom_target(tessel_programs DEPENDS ${_programs})

# The icon is our drawing, rendered for each size of the hicolor theme.
find_program(RSVG_CONVERT rsvg-convert REQUIRED)
set(_made)
foreach(_size 16 22 24 32 48 64 128 256)
  set(_png ${_out}/icons/${_size}x${_size}/tesselutilbrowser.png)
  add_custom_command(OUTPUT ${_png}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${_out}/icons/${_size}x${_size}
    COMMAND ${RSVG_CONVERT} -w ${_size} -h ${_size} -o ${_png} ${_pkg}/icons/tesselutilbrowser.svg
    DEPENDS ${_pkg}/icons/tesselutilbrowser.svg VERBATIM)
  install(FILES ${_png}
    DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${_size}x${_size}/apps)
  list(APPEND _made ${_png})
endforeach()
install(FILES ${_pkg}/icons/tesselutilbrowser.svg
  DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)

# Manual pages, compressed as Debian keeps them (no name or time in the gzip header).
find_program(GZIP_PROGRAM gzip REQUIRED)
foreach(_page tesseltool.1 tesselsvc.1 tesselutilfs.1)
  add_custom_command(OUTPUT ${_out}/man/${_page}.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${_out}/man
    COMMAND ${GZIP_PROGRAM} -9nc ${_pkg}/man/${_page} > ${_out}/man/${_page}.gz
    DEPENDS ${_pkg}/man/${_page})
  install(FILES ${_out}/man/${_page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  list(APPEND _made ${_out}/man/${_page}.gz)
endforeach()
add_custom_target(tessel_package_files ALL DEPENDS ${_made})

install(FILES ${_pkg}/tesselutilbrowser.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${_pkg}/tesselsvc.service DESTINATION lib/systemd/user)
install(FILES ${_pkg}/copyright DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/tessel-utility)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tessel-utility)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Tessel Utility developers <tessel-utility@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "desktop companion of a personal cloud drive")
# The summary is the first line of the package's description; this is the rest.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Lives in the notification area, signs in through its own pages, backs up the
photos of chosen folders to the drive and shows the drive as a folder (FUSE).
Also carries tesseltool, for backups and restores without a desktop, and
tesselsvc, a drive service to host on one's own machine.")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "fuse3, ffmpeg")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "xdg-utils, xdg-user-dirs")
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_OUTPUT_FILE_PREFIX ${CMAKE_BINARY_DIR}/package)
include(CPack)
