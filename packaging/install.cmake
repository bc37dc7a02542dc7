# `cmake --install`: the program, and on Linux its man page and license.
include(GNUInstallDirs)
install(TARGETS tavrin RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(NOT WIN32)
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/tavrin.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR})
endif()
