# What `cmake --install` puts where a desktop looks for it, and the Debian
# package CPack makes of that (scripts/package.sh).

set(TAVRO_APP_ID jp.quillbet.tavro)
set(TAVRO_SCREENSHOT_URL "" CACHE STRING
  "Web address of a main window screenshot for software centres (empty: none)")

install(TARGETS tavro RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# Loaded by the program from its own folder's ../lib/.../tavro on the first
# TLS connection, and on the first SFTP server.
install(TARGETS tavro_tls_module tavro_sftp_module LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}/tavro)
# The program finds the guide in ../share/tavro beside its own folder; the
# screenshots keep the relative paths the guide links them by.
install(FILES ${CMAKE_BINARY_DIR}/userguide.html DESTINATION ${CMAKE_INSTALL_DATADIR}/tavro)
install(FILES ${TAVRO_SCREENSHOTS} DESTINATION ${CMAKE_INSTALL_DATADIR}/tavro/docs/screenshots)
install(FILES README.md DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/tavro)

install(FILES res/desktop/${TAVRO_APP_ID}.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
foreach(size IN ITEMS 16 22 24 32 48 64 128 256)
  install(FILES res/desktop/icons/${size}.png
    DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps
    RENAME ${TAVRO_APP_ID}.png)
endforeach()
install(FILES res/icons/128.svg DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps
  RENAME ${TAVRO_APP_ID}.svg)

# Software centres take web addresses only, so the home page and screenshot
# are listed only where whoever builds Tavro has named them.
set(TAVRO_METAINFO_SITE "")
set(TAVRO_HOMEPAGE "${TAVRO_PROJECT_SITE}")
if(TAVRO_HOMEPAGE AND NOT TAVRO_HOMEPAGE MATCHES "^https?://")
  set(TAVRO_HOMEPAGE "https://${TAVRO_HOMEPAGE}")
endif()
if(TAVRO_HOMEPAGE)
  string(APPEND TAVRO_METAINFO_SITE "\n  <url type=\"homepage\">${TAVRO_HOMEPAGE}</url>")
endif()
if(TAVRO_SCREENSHOT_URL)
  string(APPEND TAVRO_METAINFO_SITE "\n  <screenshots>\n    <screenshot type=\"default\">"
    "\n      <caption>Both addresses above the message log</caption>"
    "\n      <image>${TAVRO_SCREENSHOT_URL}</image>\n    </screenshot>\n  </screenshots>")
endif()
configure_file(res/desktop/${TAVRO_APP_ID}.metainfo.xml.in
  ${CMAKE_BINARY_DIR}/${TAVRO_APP_ID}.metainfo.xml @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/${TAVRO_APP_ID}.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tavro)
set(CPACK_PACKAGE_VENDOR Quillbet)
set(CPACK_PACKAGE_CONTACT "Quillbet")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "keeps a web page current with this PC's changing address")
# CPack puts the summary above this as the synopsis line.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Tavro finds the PC's LAN address and its Internet address (from a mail server
that echoes the caller's address, or a web check service), fills an HTML
template with the address and uploads it by FTP or FTP over TLS. It lives in
the notification area and uploads an offline page when you withdraw.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Not linked, so dpkg-shlibdeps cannot see them: Qt's platform plugins (the
# windowing libraries only recommend them) and the font the windows ask for.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins, fonts-ipafont-gothic, qt6-translations-l10n")
# The check services and FTP over TLS verify against the system's store.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "ca-certificates")
if(TAVRO_HOMEPAGE)
  set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "${TAVRO_HOMEPAGE}")
endif()
set(CPACK_STRIP_FILES ON)
include(CPack)
