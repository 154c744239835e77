# The release: dist/vorkap-setup-<version>-win32.zip, holding the stripped 32-bit program, the
# administrators' guide README.ja.md, the deployment kit of deploy/ (install.cmd, uninstall.cmd,
# detect.ps1, with CR LF line ends) and SHA256SUMS, packed by tools/release-zip.sh with fixed
# names, order, times and modes, so that two builds of one commit give the same bytes, and the
# archive's own SHA-256 beside it (<zip>.sha256), for publishing apart from the archive. With
# VORKAP_SIGN_PKCS12 and VORKAP_SIGN_PASSWORD_FILE in the environment of the build, the program in
# the archive is signed (tools/sign-exe.sh), with the archive's time as its signing time.
if(NOT WIN32 OR NOT CMAKE_SIZEOF_VOID_P EQUAL 4)
  message(FATAL_ERROR "The release is the 32-bit Windows program: use `cmake --workflow --preset release`")
endif()

set(VORKAP_RELEASE_ZIP vorkap-setup-${PROJECT_VERSION}-win32.zip)
set(VORKAP_DIST_DIR ${CMAKE_SOURCE_DIR}/dist CACHE PATH "Where the release archive is written")

# The guide names the archive it ships in and the version; a version bump must update it.
set(VORKAP_GUIDE ${CMAKE_SOURCE_DIR}/README.ja.md)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${VORKAP_GUIDE})
file(READ ${VORKAP_GUIDE} VorkapGuideText)
string(FIND "${VorkapGuideText}" "${VORKAP_RELEASE_ZIP}" VorkapGuideNamesZip)
string(REGEX MATCHALL "[0-9]+\\.[0-9]+\\.[0-9]+" VorkapGuideVersions "${VorkapGuideText}")
list(REMOVE_DUPLICATES VorkapGuideVersions)
if(VorkapGuideNamesZip EQUAL -1 OR NOT VorkapGuideVersions STREQUAL PROJECT_VERSION)
  message(FATAL_ERROR "README.ja.md names version(s) ${VorkapGuideVersions}: update the guide "
                      "to version ${PROJECT_VERSION} and ${VORKAP_RELEASE_ZIP}")
endif()

add_custom_target(release_zip ALL
  COMMAND bash ${CMAKE_SOURCE_DIR}/tools/release-zip.sh $<TARGET_FILE:vorkap-setup>
    ${VORKAP_GUIDE} ${VORKAP_DIST_DIR}/${VORKAP_RELEASE_ZIP} ${CMAKE_SOURCE_DIR}
  DEPENDS vorkap-setup ${VORKAP_GUIDE} ${CMAKE_SOURCE_DIR}/deploy/install.cmd
    ${CMAKE_SOURCE_DIR}/deploy/uninstall.cmd ${CMAKE_SOURCE_DIR}/deploy/detect.ps1
  COMMENT "Packing ${VORKAP_DIST_DIR}/${VORKAP_RELEASE_ZIP}"
  VERBATIM)
