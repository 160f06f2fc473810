# Installation and packages. `cmake --install` lays the updater out, and CPack turns the same
# layout into a Debian package (native Linux builds) or a zip (the Windows cross build):
#
#   Debian package   /usr/bin/nevrik-update and /usr/bin/nevrik-info, their man pages in
#                    section 1, and in /usr/share/doc/nevrik-update the README, SECURITY.md, the
#                    rack recipe (fleet.md), the changelog and the copyright file
#   Windows zip      nevrik-update.exe, nevrik-info.exe, README.txt, SECURITY.txt and FLEET.txt
#                    with Windows line ends
#
# tools/package.sh builds both. The package version is the updater's own: UpdaterVersion in
# app/updater.h, "2.0.0.111 (2a12b68e)", is version 2.0.0.111 of build 2a12b68e, so the banner
# and the package cannot disagree.

include(GNUInstallDirs)

set(NEVRIK_PACKAGE_MAINTAINER "The nevrik-update developers <nevrik-update@example.org>"
    CACHE STRING "Maintainer of the Debian package: a name and an e-mail address")

set(updater_header "${PROJECT_SOURCE_DIR}/app/updater.h")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${updater_header}")
file(STRINGS "${updater_header}" version_line REGEX "UpdaterVersion = ")
if(NOT version_line MATCHES "UpdaterVersion = \"([0-9]+(\\.[0-9]+)*) \\(([0-9a-f]+)\\)\"")
  message(FATAL_ERROR "${updater_header}: UpdaterVersion is not of the form \"1.2.3.4 (tag)\"")
endif()
set(NEVRIK_PACKAGE_VERSION "${CMAKE_MATCH_1}")
set(NEVRIK_BUILD_TAG "${CMAKE_MATCH_3}")
nevrik_read_target_version("${NEVRIK_FIRMWARE_PACK}" NEVRIK_FIRMWARE_MAJOR NEVRIK_FIRMWARE_MINOR)

# The release date is the date of the commit that last set the version, so that building the same
# release again gives the same changelog and man page; SOURCE_DATE_EPOCH, when set, wins, and
# outside a git checkout the date is today's.
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
  find_package(Git QUIET)
  if(GIT_FOUND)
    execute_process(COMMAND "${GIT_EXECUTABLE}" log -1 --format=%ct -- "${updater_header}"
                    WORKING_DIRECTORY "${PROJECT_SOURCE_DIR}"
                    OUTPUT_VARIABLE version_epoch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  endif()
  if(version_epoch)
    set(ENV{SOURCE_DATE_EPOCH} "${version_epoch}")
  endif()
endif()
string(TIMESTAMP NEVRIK_RELEASE_DATE "%Y-%m-%d" UTC)
string(TIMESTAMP NEVRIK_RELEASE_TIME "%a, %d %b %Y %H:%M:%S +0000" UTC)
if(version_epoch)
  unset(ENV{SOURCE_DATE_EPOCH})
endif()

set(text_script "${CMAKE_CURRENT_LIST_DIR}/PackageTextFile.cmake")
set(package_files_dir "${CMAKE_BINARY_DIR}/package-files")

# nevrik_install_text_file(<input> <name> GZIP|CRLF <destination>)
#   Installs <input> as <name>: compressed as Debian wants documents and man pages, or with
#   Windows line ends. The file is made in the build tree when the project builds.
set(package_text_files)
function(nevrik_install_text_file input name mode destination)
  set(output "${package_files_dir}/${name}")
  add_custom_command(
    OUTPUT "${output}"
    COMMAND "${CMAKE_COMMAND}" "-DINPUT=${input}" "-DOUTPUT=${output}" "-DMODE=${mode}"
            -P "${text_script}"
    DEPENDS "${input}" "${text_script}"
    VERBATIM)
  install(FILES "${output}" DESTINATION "${destination}")
  set(package_text_files ${package_text_files} "${output}" PARENT_SCOPE)
endfunction()

if(WIN32)
  install(TARGETS nevrik-update nevrik-info RUNTIME DESTINATION .)
  nevrik_install_text_file("${PROJECT_SOURCE_DIR}/README.md" README.txt CRLF .)
  nevrik_install_text_file("${PROJECT_SOURCE_DIR}/SECURITY.md" SECURITY.txt CRLF .)
  nevrik_install_text_file("${PROJECT_SOURCE_DIR}/docs/fleet.md" FLEET.txt CRLF .)
else()
  set(doc_dir "${CMAKE_INSTALL_DATADIR}/doc/nevrik-update")
  install(TARGETS nevrik-update nevrik-info RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}")
  foreach(program IN ITEMS nevrik-update nevrik-info)
    configure_file("${PROJECT_SOURCE_DIR}/packaging/${program}.1.in"
                   "${package_files_dir}/${program}.1" @ONLY)
    nevrik_install_text_file("${package_files_dir}/${program}.1" ${program}.1.gz GZIP
                             "${CMAKE_INSTALL_MANDIR}/man1")
  endforeach()
  nevrik_install_text_file("${PROJECT_SOURCE_DIR}/README.md" README.md.gz GZIP "${doc_dir}")
  nevrik_install_text_file("${PROJECT_SOURCE_DIR}/SECURITY.md" SECURITY.md.gz GZIP "${doc_dir}")
  # The README sends people who look after many keys to the rack recipe.
  nevrik_install_text_file("${PROJECT_SOURCE_DIR}/docs/fleet.md" fleet.md.gz GZIP "${doc_dir}")
  configure_file("${PROJECT_SOURCE_DIR}/packaging/changelog.in" "${package_files_dir}/changelog"
                 @ONLY)
  nevrik_install_text_file("${package_files_dir}/changelog" changelog.gz GZIP "${doc_dir}")
  install(FILES "${PROJECT_SOURCE_DIR}/packaging/copyright" DESTINATION "${doc_dir}")
endif()
add_custom_target(nevrik-package-files ALL DEPENDS ${package_text_files})

set(CPACK_PACKAGE_NAME nevrik-update)
set(CPACK_PACKAGE_VENDOR "The nevrik-update developers")
set(CPACK_PACKAGE_VERSION "${NEVRIK_PACKAGE_VERSION}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "firmware updater for the NEVRIK USB security key")
set(CPACK_PACKAGE_CONTACT "${NEVRIK_PACKAGE_MAINTAINER}")
# Files and folders get the same modes whatever the umask of whoever packs them.
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME "nevrik-update-${NEVRIK_PACKAGE_VERSION}-windows-x86_64")
  # The release link already stripped the executable, and the host's strip does not read it.
  set(CPACK_STRIP_FILES OFF)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_STRIP_FILES ON)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${NEVRIK_PACKAGE_MAINTAINER}")
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  # CPack puts the summary first and indents these lines as the control file wants them.
  set(firmware "${NEVRIK_FIRMWARE_MAJOR}.${NEVRIK_FIRMWARE_MINOR}")
  set(CPACK_PACKAGE_DESCRIPTION
      "nevrik-update brings the one attached NEVRIK key to the firmware that it
carries, version ${firmware}. It reads the key's status, says whether an update
is needed, asks for confirmation and the key's SO PIN, and then writes,
verifies and deploys the firmware over an encrypted channel. Every outcome
ends in one message and a documented exit code. nevrik-info lists every
attached key, what it runs and whether an update is due, in words or as
JSON, without changing anything on it.")
  nevrik_pack_is_placeholder("${NEVRIK_FIRMWARE_PACK}" placeholder_pack)
  if(placeholder_pack)
    string(APPEND CPACK_PACKAGE_DESCRIPTION "

This build carries the source repository's placeholder firmware pack: test
data, not firmware. It is for trying the updater against a simulated key;
it refuses to update a real key.")
  endif()
endif()

include(CPack)
