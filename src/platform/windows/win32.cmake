# tavrin.exe: Win32 platform, entry, manifest and version resource.
enable_language(RC)

set(TAVRIN_MANIFEST ${CMAKE_CURRENT_LIST_DIR}/tavrin.manifest)
configure_file(${CMAKE_CURRENT_LIST_DIR}/tavrin.rc ${CMAKE_CURRENT_BINARY_DIR}/tavrin.rc @ONLY)
set_source_files_properties(${CMAKE_CURRENT_BINARY_DIR}/tavrin.rc PROPERTIES
  OBJECT_DEPENDS ${TAVRIN_MANIFEST})

# The platform (a library the unit tests link too) and the entry.
add_library(tavrin_win32 STATIC
  ${CMAKE_CURRENT_LIST_DIR}/win32_platform.cpp
  ${CMAKE_CURRENT_LIST_DIR}/win32_drives.cpp
  ${CMAKE_CURRENT_LIST_DIR}/win32_folders.cpp
  ${CMAKE_CURRENT_LIST_DIR}/win32_nt.cpp
  ${CMAKE_CURRENT_LIST_DIR}/win32_process.cpp
  ${CMAKE_CURRENT_LIST_DIR}/win32_root_paths.cpp
  ${CMAKE_CURRENT_LIST_DIR}/win32_table.cpp
  ${CMAKE_CURRENT_LIST_DIR}/win32_terminal.cpp
  ${CMAKE_CURRENT_LIST_DIR}/win32_tool_folder.cpp
  ${CMAKE_CURRENT_LIST_DIR}/win32_walk.cpp)
target_link_libraries(tavrin_win32 PUBLIC tavrin_core shell32 user32 advapi32 ntdll)
target_compile_definitions(tavrin_win32 PUBLIC UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX)

add_executable(tavrin
  ${CMAKE_CURRENT_LIST_DIR}/win32_main.cpp
  ${CMAKE_CURRENT_BINARY_DIR}/tavrin.rc)
target_link_libraries(tavrin PRIVATE tavrin_win32)

if(MSVC)
  # The manifest comes from the resource; the linker must not add its own.
  target_link_options(tavrin PRIVATE /MANIFEST:NO)
  # Windows 7 or later: the fast listing flag is refused before it.
  target_link_options(tavrin PRIVATE /SUBSYSTEM:CONSOLE,6.01)
  set_property(TARGET tavrin tavrin_core tavrin_win32 PROPERTY
    MSVC_RUNTIME_LIBRARY "MultiThreaded$<$<CONFIG:Debug>:Debug>")
else()
  # One self-contained exe: no MinGW runtime DLLs beside it.
  target_compile_options(tavrin PRIVATE $<$<COMPILE_LANGUAGE:CXX>:-municode>)
  target_link_options(tavrin PRIVATE -municode -static -static-libgcc -static-libstdc++)
  # Windows 7 or later: the fast listing flag is refused before it.
  target_link_options(tavrin PRIVATE
    -Wl,--major-subsystem-version,6,--minor-subsystem-version,1
    -Wl,--major-os-version,6,--minor-os-version,1)
endif()
