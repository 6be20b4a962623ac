# What `cmake --install` puts where, and the Debian package made of it
# (`cpack -G DEB` in the build folder).

# The AppStream data names a homepage and the README's screenshot by address.
# Until the project's pages are published the default is a placeholder; set
# this to the real address, with docs/screenshot.png published beneath it as
# screenshot.png. The component id is the address's domain reversed.
set(VANTARO_HOMEPAGE_URL "https://vantaro.example.org" CACHE STRING
  "Project homepage; the AppStream screenshot is expected at <this>/screenshot.png")
set(VANTARO_APP_ID "org.example.vantaro" CACHE STRING "AppStream component id (reverse-DNS)")

install(TARGETS vantaro twv RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

install(FILES data/vantaro.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
foreach(size 16 24 32 48 64 128 256)
  install(FILES resources/icons/vantaro-${size}.png RENAME vantaro.png
    DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps)
endforeach()
install(FILES resources/icons/vantaro.svg DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
install(FILES data/vantaro-twv.xml RENAME vantaro.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/mime/packages)

configure_file(data/vantaro.metainfo.xml.in ${CMAKE_CURRENT_BINARY_DIR}/data/${VANTARO_APP_ID}.metainfo.xml @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/data/${VANTARO_APP_ID}.metainfo.xml
  DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)

# Manual pages carry the version and are installed compressed, as Debian does.
set(man_pages "")
foreach(page vantaro twv)
  configure_file(man/${page}.1 ${CMAKE_CURRENT_BINARY_DIR}/man/${page}.1 @ONLY)
  add_custom_command(OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/man/${page}.1.gz
    COMMAND gzip -9nf -k ${page}.1
    WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/man
    DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/man/${page}.1
    VERBATIM)
  list(APPEND man_pages ${CMAKE_CURRENT_BINARY_DIR}/man/${page}.1.gz)
endforeach()
add_custom_target(man_pages ALL DEPENDS ${man_pages})
install(FILES ${man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

set(CPACK_PACKAGE_NAME vantaro)
set(CPACK_PACKAGE_VENDOR "Vantaro developers")
set(CPACK_PACKAGE_CONTACT "Vantaro developers <vantaro@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Shows the images, the depth and a 3D point cloud of a stereo depth camera
or of a .twv recording, with a virtual camera to try it without one. The
twv tool records, imports and inspects recordings.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT) # vantaro_<version>_amd64.deb
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "${VANTARO_HOMEPAGE_URL}")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Mesa draws when there is no GPU driver; the others make the menu entry, its
# icon and the recordings' file type known to the desktop (their triggers
# run when this package installs its files).
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "libgl1-mesa-dri, shared-mime-info, desktop-file-utils, hicolor-icon-theme")
include(CPack)
