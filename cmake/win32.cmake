# The Windows program: a console program carrying its manifest and version information, both
# compiled by windres into vorkap-setup.exe.
enable_language(RC)

foreach(Part MAJOR MINOR PATCH TWEAK)
  if("${PROJECT_VERSION_${Part}}" STREQUAL "")
    set(VORKAP_VERSION_${Part} 0)
  else()
    set(VORKAP_VERSION_${Part} ${PROJECT_VERSION_${Part}})
  endif()
endforeach()
set(VORKAP_FILE_VERSION_COMMAS
  "${VORKAP_VERSION_MAJOR},${VORKAP_VERSION_MINOR},${VORKAP_VERSION_PATCH},${VORKAP_VERSION_TWEAK}")
set(VORKAP_FILE_VERSION_DOTTED
  "${VORKAP_VERSION_MAJOR}.${VORKAP_VERSION_MINOR}.${VORKAP_VERSION_PATCH}.${VORKAP_VERSION_TWEAK}")

if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(VORKAP_MANIFEST_ARCHITECTURE amd64)
else()
  set(VORKAP_MANIFEST_ARCHITECTURE x86)
endif()

set(VORKAP_MANIFEST_FILE ${CMAKE_CURRENT_BINARY_DIR}/win32/vorkap-setup.manifest)
configure_file(${CMAKE_CURRENT_SOURCE_DIR}/platform/win32/vorkap-setup.manifest
  ${VORKAP_MANIFEST_FILE} @ONLY)
configure_file(${CMAKE_CURRENT_SOURCE_DIR}/platform/win32/vorkap-setup.rc.in
  ${CMAKE_CURRENT_BINARY_DIR}/win32/vorkap-setup.rc @ONLY)

target_sources(vorkap-setup PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/win32/vorkap-setup.rc)
# windres does not see that the resource script embeds the manifest; rebuild it when that changes.
set_source_files_properties(${CMAKE_CURRENT_BINARY_DIR}/win32/vorkap-setup.rc PROPERTIES
  OBJECT_DEPENDS ${VORKAP_MANIFEST_FILE})
set_target_properties(vorkap-setup PROPERTIES WIN32_EXECUTABLE FALSE)
target_link_options(vorkap-setup PRIVATE -mconsole)

# Reproducible bytes: the linker leaves the PE header's time stamp at zero, and paths of the
# source tree that the compiler records (__FILE__) are made relative to it, so two builds of the
# same sources in different folders give the same exe.
foreach(Target vorkap_profile vorkap_platform vorkap_logic vorkap-setup)
  target_compile_options(${Target} PRIVATE -ffile-prefix-map=${CMAKE_SOURCE_DIR}=.)
endforeach()
target_link_options(vorkap-setup PRIVATE -Wl,--no-insert-timestamp)

# Address space layout randomisation and data execution prevention stay on.
# The program is deliberately NOT terminal-server aware (no --tsaware; the PE flag 0x8000 stays
# clear): on a Remote Desktop server Windows then gives it a per-user Windows directory, one of
# the places where SearchPathA looks for notes.ini, so a registration lands in the notes.ini
# that the user's own session sees. A program that still relies on INI files should set the
# flag only when sharing them among all users is acceptable. tests/wine/check-pe.sh checks all
# three flags.
target_link_options(vorkap-setup PRIVATE -Wl,--dynamicbase -Wl,--nxcompat)

# The release build ships the program without symbols, and without the code and data it never
# uses: each function and object gets a section of its own, and the linker drops the sections
# that nothing refers to, most of the static C++ runtime among them (docs/performance.md).
if(VORKAP_RELEASE)
  foreach(Target vorkap_profile vorkap_platform vorkap_logic vorkap-setup)
    target_compile_options(${Target} PRIVATE -ffunction-sections -fdata-sections)
  endforeach()
  target_link_options(vorkap-setup PRIVATE -s -Wl,--gc-sections)
endif()
