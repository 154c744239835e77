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
