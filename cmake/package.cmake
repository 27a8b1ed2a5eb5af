# twinbay-cli's manual page and bash completion, made from its --help text,
# and the Debian package (cpack; scripts/package.sh builds it).

# The sanitizer builds skip them: running the instrumented program while
# building would only add their reports to the build's output.
if(TWINBAY_SANITIZE STREQUAL "")
  find_package(Python3 REQUIRED COMPONENTS Interpreter)
  set(cli_docs ${PROJECT_SOURCE_DIR}/scripts/cli_docs.py)
  set(man_in ${PROJECT_SOURCE_DIR}/data/twinbay-cli.1.in)
  set(completion_in ${PROJECT_SOURCE_DIR}/data/twinbay-cli.bash.in)
  set(docs_dir ${PROJECT_BINARY_DIR}/docs)
  add_custom_command(
    OUTPUT ${docs_dir}/twinbay-cli.1.gz ${docs_dir}/twinbay-cli
    COMMAND ${CMAKE_COMMAND} -E make_directory ${docs_dir}
    COMMAND Python3::Interpreter ${cli_docs} $<TARGET_FILE:twinbay-cli> ${man_in} ${docs_dir}/twinbay-cli.1.gz
            ${completion_in} ${docs_dir}/twinbay-cli
    DEPENDS twinbay-cli ${cli_docs} ${man_in} ${completion_in}
    COMMENT "Making twinbay-cli's manual page and bash completion from its --help text"
    VERBATIM)
  add_custom_target(twinbay_cli_docs ALL DEPENDS ${docs_dir}/twinbay-cli.1.gz ${docs_dir}/twinbay-cli)
  install(FILES ${docs_dir}/twinbay-cli.1.gz DESTINATION share/man/man1)
  install(FILES ${docs_dir}/twinbay-cli DESTINATION share/bash-completion/completions)
  if(TWINBAY_GUI)
    add_custom_command(
      OUTPUT ${docs_dir}/twinbay.1.gz
      COMMAND ${CMAKE_COMMAND} -E make_directory ${docs_dir}
      COMMAND Python3::Interpreter -c "import gzip, sys; open(sys.argv[2], 'wb').write(gzip.compress(open(sys.argv[1], 'rb').read(), 9, mtime=0))"
              ${PROJECT_SOURCE_DIR}/data/twinbay.1 ${docs_dir}/twinbay.1.gz
      DEPENDS ${PROJECT_SOURCE_DIR}/data/twinbay.1
      VERBATIM)
    add_custom_target(twinbay_man ALL DEPENDS ${docs_dir}/twinbay.1.gz)
    install(FILES ${docs_dir}/twinbay.1.gz DESTINATION share/man/man1)
  endif()
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME twinbay)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Kestrion Twinbay developers <${TWINBAY_SUPPORT_EMAIL}>")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "keep a local folder and an FTP, FTPS or SFTP server folder in step")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Twinbay compares a folder on the local disk with a folder on a server (FTP,
FTP over TLS or SFTP), pairs files by name and classifies each by its
last-write time and the last synchronised state, then copies the newer
files either way. Deletions and conflicts are told from new files, and a
run that would delete most of a folder is refused.

This package holds the desktop program (twinbay, Qt 6) and the
command-line program (twinbay-cli) with its manual page and bash
completion.")
# The libraries' packages, found by dpkg-shlibdeps from the programs' links,
# and what the window loads at run time without linking it: the SVG icon
# engine and image plugins of Qt (its icons are SVG).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libqt6svg6")
# Certificates to check FTPS servers with; the MIME database that registers
# the profile type; a desktop keyring to keep passwords in.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "ca-certificates, shared-mime-info")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "gnome-keyring")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
