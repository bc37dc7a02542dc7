# The Linux program: POSIX platform (library, also linked by the unit tests) and entry.
add_library(tavrin_posix STATIC
  ${CMAKE_CURRENT_LIST_DIR}/posix_attributes.cpp
  ${CMAKE_CURRENT_LIST_DIR}/posix_errors.cpp
  ${CMAKE_CURRENT_LIST_DIR}/posix_mounts.cpp
  ${CMAKE_CURRENT_LIST_DIR}/posix_io.cpp
  ${CMAKE_CURRENT_LIST_DIR}/posix_platform.cpp
  ${CMAKE_CURRENT_LIST_DIR}/posix_result_file.cpp
  ${CMAKE_CURRENT_LIST_DIR}/posix_signals.cpp
  ${CMAKE_CURRENT_LIST_DIR}/posix_table.cpp
  ${CMAKE_CURRENT_LIST_DIR}/posix_volume_source.cpp
  ${CMAKE_CURRENT_LIST_DIR}/posix_terminal.cpp
  ${CMAKE_CURRENT_LIST_DIR}/posix_walk.cpp
  ${CMAKE_CURRENT_LIST_DIR}/posix_xattr.cpp)
target_link_libraries(tavrin_posix PUBLIC tavrin_core)

add_executable(tavrin ${CMAKE_CURRENT_LIST_DIR}/posix_main.cpp)
target_link_libraries(tavrin PRIVATE tavrin_posix)

