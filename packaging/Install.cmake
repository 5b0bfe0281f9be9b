# `cmake --install`: the application directory PREFIX/lib/korvane holds the program and what lies
# beside it (manual, pictures, logo, examples); PREFIX/bin/korvane points at it; the desktop
# entry, icon and patch file types make it a desktop program.
include(GNUInstallDirs)
set(KORVANE_INSTALL_APPDIR ${CMAKE_INSTALL_LIBDIR}/korvane)

install(TARGETS korvane RUNTIME DESTINATION ${KORVANE_INSTALL_APPDIR})
install(DIRECTORY ${CMAKE_BINARY_DIR}/Manual ${CMAKE_BINARY_DIR}/bitmaps DESTINATION ${KORVANE_INSTALL_APPDIR})
# The button pictures and the logo that the build draws beside the program.
install(CODE "
  file(GLOB pictures \"${CMAKE_BINARY_DIR}/*.bmp\" \"${CMAKE_BINARY_DIR}/*.jpg\")
  file(INSTALL \${pictures} DESTINATION \"\${CMAKE_INSTALL_PREFIX}/${KORVANE_INSTALL_APPDIR}\")
")
install(DIRECTORY ${CMAKE_SOURCE_DIR}/examples/ DESTINATION ${KORVANE_INSTALL_APPDIR}/examples)
# The link is relative (bin/korvane -> ../lib/korvane/korvane) and made under the prefix given at
# install time (cmake --install --prefix P), so the installed tree can be moved as a whole.
if(IS_ABSOLUTE "${CMAKE_INSTALL_BINDIR}" OR IS_ABSOLUTE "${KORVANE_INSTALL_APPDIR}")
  message(FATAL_ERROR "Korvane installs with relative CMAKE_INSTALL_BINDIR and CMAKE_INSTALL_LIBDIR")
endif()
file(RELATIVE_PATH KORVANE_BIN_LINK "/${CMAKE_INSTALL_BINDIR}" "/${KORVANE_INSTALL_APPDIR}/korvane")
install(CODE "
  set(bin \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
  file(MAKE_DIRECTORY \"\${bin}\")
  message(STATUS \"Installing: \${bin}/korvane -> ${KORVANE_BIN_LINK}\")
  file(CREATE_LINK \"${KORVANE_BIN_LINK}\" \"\${bin}/korvane\" SYMBOLIC)
")
install(FILES ${CMAKE_SOURCE_DIR}/LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES ${CMAKE_SOURCE_DIR}/packaging/korvane.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/korvane.svg DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/korvane-mime.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/mime/packages
        RENAME korvane.xml)
