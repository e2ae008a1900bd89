# The Debian package, built by CPack's DEB generator from the install rules
# (scripts/package runs it): `cpack -G DEB` in a build folder writes
# kestrel_VERSION_ARCH.deb. Included last by the top CMakeLists.txt.

set(KESTREL_PACKAGE_MAINTAINER "Kestrel maintainers <${KESTREL_FEEDBACK_MAILBOX}>" CACHE STRING
  "The Maintainer field of the Debian package")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kestrel)
set(CPACK_PACKAGE_VENDOR "Kestrel")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${KESTREL_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# Binaries without their debugging sections, as Debian ships them.
set(CPACK_STRIP_FILES ON)

set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "recover text messages and contacts, deleted ones included, from iPhone backups")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
"Kestrel recovers the text messages (SMS and iMessage) and the contacts of an
iPhone, iPad or iPod touch, deleted ones included, from the backups that
iTunes, Finder or idevicebackup2 keep on a computer. Existing records are read
through SQLite; deleted records are carved from the raw pages of the message
database and the address book, their write-ahead logs and rollback journals,
each with the place it was found. Encrypted backups are opened with their
password. A backup is only ever read: the databases are scanned as private
copies.

The package holds the command-line program kestrel (list backups, scan one,
export text files, vCards, an HTML report, CSV and JSON with SHA-256 hashes,
carve any SQLite database) and the Qt desktop program kestrel-gui.")

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${KESTREL_PACKAGE_MAINTAINER}")
# Depends: from the shared libraries the binaries link (dpkg-shlibdeps), and
# the package of the libcurl the feedback mail loads when it sends, which no
# binary links.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(_kestrel_curl_package "")
find_program(KESTREL_DPKG_QUERY dpkg-query)
if(KESTREL_DPKG_QUERY)
  execute_process(COMMAND ${KESTREL_DPKG_QUERY} --search "*/${KESTREL_CURL_LIBRARY}"
                  OUTPUT_VARIABLE _kestrel_curl_owner ERROR_QUIET RESULT_VARIABLE _kestrel_curl_found)
  if(_kestrel_curl_found EQUAL 0 AND _kestrel_curl_owner MATCHES "^([^:, ]+)")
    set(_kestrel_curl_package "${CMAKE_MATCH_1}")
  endif()
endif()
if(NOT _kestrel_curl_package)
  set(_kestrel_curl_package "libcurl4")
endif()
set(CPACK_DEBIAN_PACKAGE_DEPENDS "${_kestrel_curl_package}")
# idevicebackup2 makes the backups the program reads.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "libimobiledevice-utils")
# No maintainer scripts: dpkg's own triggers refresh the menus and the icon
# cache, and removing the package leaves nothing behind.

include(CPack)
