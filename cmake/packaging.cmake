# What `cmake --install` puts where, and the two packages `make package`
# builds with CPack: the Debian package of a POSIX build and the zip of the
# Windows build.  Included by CMakeLists.txt once the program target exists.
include(GNUInstallDirs)

set(CPACK_PACKAGE_NAME velxref)
# The placeholder maintainer: .invalid is a reserved domain, so no mail can
# go astray.  Whoever ships the package elsewhere puts their own name and
# address here and in doc/debian/changelog.
set(CPACK_PACKAGE_CONTACT "velxref developers <maintainer@velxref.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "cross-reference lister for Vela Family assembly sources")
set(CPACK_STRIP_FILES ON)

# The VS Code extension, velxref-VERSION.vsix in the build tree: packaged by
# editors/vscode/build_vsix.sh (Node.js and npm, from its lock file) when the
# target vsix is built, as `make package` does; the Windows zip carries it.
set(VELXREF_VSIX ${CMAKE_CURRENT_BINARY_DIR}/velxref-${PROJECT_VERSION}.vsix)
add_custom_target(vsix
  COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/editors/vscode/build_vsix.sh ${PROJECT_VERSION} ${VELXREF_VSIX}
  COMMENT "Packaging the VS Code extension: velxref-${PROJECT_VERSION}.vsix"
  VERBATIM)

if(WIN32)
  # The zip for Windows users: velxref.exe beside a README of its own, the
  # manual as plain text, the licence and the example, every text file with
  # CR LF line ends, and the VS Code extension (build the target vsix first).
  find_program(VELXREF_GROFF groff REQUIRED)
  set(windows_texts
    ${CMAKE_CURRENT_BINARY_DIR}/README.txt
    ${CMAKE_CURRENT_BINARY_DIR}/velxref.txt
    ${CMAKE_CURRENT_BINARY_DIR}/LICENSE.txt
    ${CMAKE_CURRENT_BINARY_DIR}/BLINK.AVL
    ${CMAKE_CURRENT_BINARY_DIR}/PORTS.INC)
  set(top ${CMAKE_CURRENT_SOURCE_DIR})
  add_custom_command(OUTPUT ${windows_texts}
    COMMAND sed "s/$/\r/" ${top}/doc/windows/README.txt > README.txt
    COMMAND ${VELXREF_GROFF} -man -Tascii -P-c -P-b -P-u ${top}/doc/velxref.1 | sed "s/$/\r/" > velxref.txt
    COMMAND sed "s/$/\r/" ${top}/LICENSE > LICENSE.txt
    COMMAND sed "s/$/\r/" ${top}/examples/BLINK.AVL > BLINK.AVL
    COMMAND sed "s/$/\r/" ${top}/examples/PORTS.INC > PORTS.INC
    DEPENDS doc/windows/README.txt doc/velxref.1 LICENSE examples/BLINK.AVL examples/PORTS.INC
    VERBATIM)
  add_custom_target(velxref_docs ALL DEPENDS ${windows_texts})
  install(TARGETS velxref RUNTIME DESTINATION .)
  install(FILES ${windows_texts} DESTINATION .)
  install(FILES ${VELXREF_VSIX} DESTINATION .)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME velxref-${PROJECT_VERSION}-win64)
else()
  # The man page and the changelog are installed compressed, as Debian
  # wants them: best compression, no name or time stamp in the header.
  find_program(VELXREF_GZIP gzip REQUIRED)
  set(manual_gz ${CMAKE_CURRENT_BINARY_DIR}/velxref.1.gz)
  set(changelog_gz ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz)
  add_custom_command(OUTPUT ${manual_gz} ${changelog_gz}
    COMMAND ${VELXREF_GZIP} -9nc ${CMAKE_CURRENT_SOURCE_DIR}/doc/velxref.1 > ${manual_gz}
    COMMAND ${VELXREF_GZIP} -9nc ${CMAKE_CURRENT_SOURCE_DIR}/doc/debian/changelog > ${changelog_gz}
    DEPENDS doc/velxref.1 doc/debian/changelog VERBATIM)
  add_custom_target(velxref_docs ALL DEPENDS ${manual_gz} ${changelog_gz})
  install(TARGETS velxref RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${manual_gz} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES doc/debian/copyright ${changelog_gz} DESTINATION ${CMAKE_INSTALL_DOCDIR})

  # The Debian package: /usr/bin/velxref, its man page, copyright and
  # changelog.  The extended description is the README's first paragraph,
  # without the Markdown quotes, wrapped at 72 columns.
  file(READ ${CMAKE_CURRENT_SOURCE_DIR}/README.md readme)
  string(REGEX MATCH "\n\n([^\n]+\n)+" paragraph "${readme}")
  string(REPLACE "`" "" paragraph "${paragraph}")
  string(ASCII 31 semicolon)
  string(REPLACE ";" "${semicolon}" paragraph "${paragraph}")
  string(STRIP "${paragraph}" paragraph)
  string(REGEX REPLACE "[ \n]+" ";" words "${paragraph}")
  set(description "")
  set(line "")
  foreach(word IN LISTS words)
    string(LENGTH "${line} ${word}" length)
    if(line STREQUAL "")
      set(line "${word}")
    elseif(length GREATER 72)
      string(APPEND description "${line}\n")
      set(line "${word}")
    else()
      string(APPEND line " ${word}")
    endif()
  endforeach()
  string(APPEND description "${line}")
  string(REPLACE "${semicolon}" ";" CPACK_PACKAGE_DESCRIPTION "${description}")

  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_SECTION devel)
endif()
include(CPack)
