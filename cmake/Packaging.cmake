# Packages, made from the install rules that `cmake --install` runs: on Linux the .deb
# (cpack -G DEB), in the i686 Windows build the zip (cpack -G ZIP; scripts/release.sh zips the
# installed files itself, reproducibly and after signing them). The version is the
# project's (VERSION), the one in the window's caption.
set(LUMO_PACKAGE_VERSION "${PROJECT_VERSION}")

set(CPACK_PACKAGE_NAME lumo-tool)
set(CPACK_PACKAGE_VERSION "${LUMO_PACKAGE_VERSION}")
set(CPACK_PACKAGE_VENDOR "Orvel-M8 firmware update tool maintainers")
set(CPACK_PACKAGE_CONTACT "Orvel-M8 firmware update tool maintainers <maintainers@users.noreply.c-seed-268554e6.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "firmware update tool for the Orvel-M8 USB device")
set(CPACK_STRIP_FILES ON)

# lumo-flash, the command-line updater, goes beside Lumo_Tool in both packages by its own
# install rules when this build has it. The programs packaged are listed for the package test.
set(_lumo_flash "")
foreach(name lumo-flash lumo_flash)
  if(TARGET ${name})
    set(_lumo_flash ${name})
  endif()
endforeach()
set(_programs "Lumo_Tool\n")
if(_lumo_flash)
  string(APPEND _programs "lumo-flash\n")
endif()
file(WRITE "${PROJECT_BINARY_DIR}/packaging/programs.txt" "${_programs}")

if(WIN32)
  # One folder with the programs (statically linked, nothing to install) and a short README.
  install(TARGETS Lumo_Tool RUNTIME DESTINATION .)
  install(FILES "${PROJECT_SOURCE_DIR}/packaging/README-win32.txt" DESTINATION .
          RENAME README.txt)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME "lumo-tool-${LUMO_PACKAGE_VERSION}-win32")
else()
  include(GNUInstallDirs)
  set(_doc "${CMAKE_INSTALL_DATADIR}/doc/lumo-tool")
  install(FILES "${PROJECT_SOURCE_DIR}/packaging/README-linux.txt" DESTINATION "${_doc}"
          RENAME README)
  install(FILES "${PROJECT_SOURCE_DIR}/packaging/copyright" DESTINATION "${_doc}")
  # Debian keeps a compressed changelog beside the copyright.
  set(_changelog "${PROJECT_BINARY_DIR}/packaging/changelog.gz")
  configure_file("${PROJECT_SOURCE_DIR}/packaging/changelog.in"
                 "${PROJECT_BINARY_DIR}/packaging/changelog" @ONLY)
  execute_process(COMMAND gzip -9n -c "${PROJECT_BINARY_DIR}/packaging/changelog"
                  OUTPUT_FILE "${_changelog}" COMMAND_ERROR_IS_FATAL ANY)
  install(FILES "${_changelog}" DESTINATION "${_doc}")
  # A manual page for each program packaged.
  string(STRIP "${_programs}" _pages)
  string(REPLACE "\n" ";" _pages "${_pages}")
  foreach(page IN LISTS _pages)
    set(_man "${PROJECT_BINARY_DIR}/packaging/${page}.1")
    configure_file("${PROJECT_SOURCE_DIR}/packaging/${page}.1.in" "${_man}" @ONLY)
    execute_process(COMMAND gzip -9n -c "${_man}" OUTPUT_FILE "${_man}.gz"
                    COMMAND_ERROR_IS_FATAL ANY)
    install(FILES "${_man}.gz" DESTINATION "${CMAKE_INSTALL_MANDIR}/man1")
  endforeach()

  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)  # lumo-tool_<version>_amd64.deb
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
      "Rewrites the firmware of an Orvel-M8 held in update mode (USB 5a7e:c3d1 or\n"
      "5a7e:7b16). The firmware images are built into the program. A udev rule\n"
      "lets the user at the seat open the device without root.")
  string(REPLACE ";" "" CPACK_DEBIAN_PACKAGE_DESCRIPTION "${CPACK_DEBIAN_PACKAGE_DESCRIPTION}")
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # The window's texts carry the full-width colon and comma (U+FF1A, U+FF0C); this font has
  # both, the Liberation fonts the labels use do not.
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-wqy-microhei")
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
      "${PROJECT_SOURCE_DIR}/packaging/postinst;${PROJECT_SOURCE_DIR}/packaging/postrm")
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
endif()

include(CPack)
