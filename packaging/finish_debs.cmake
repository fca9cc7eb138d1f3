# Run by CPack after it has written the Debian packages (CPACK_POST_BUILD_SCRIPTS).
#
# Each package is rebuilt by dpkg-deb from its own contents, for two reasons: CPack adds
# postinst and postrm scripts that call ldconfig to every package with a shared library,
# where our engine package relies on dpkg's ldconfig trigger instead and has no
# maintainer scripts at all; and dpkg-deb writes archives that depend only on their
# contents: entries sorted, owned by root, times no later than SOURCE_DATE_EPOCH. When
# SOURCE_DATE_EPOCH is not set, the date of the changelog's latest entry is used, as
# dpkg-buildpackage does, so two builds of one commit give the same packages.
if(DEFINED ENV{SOURCE_DATE_EPOCH} AND NOT "$ENV{SOURCE_DATE_EPOCH}" STREQUAL "")
  set(epoch "$ENV{SOURCE_DATE_EPOCH}")
else()
  execute_process(COMMAND dpkg-parsechangelog -l "${CPACK_ZEPHRANE_CHANGELOG}" -S Timestamp
                  OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE failed)
  if(failed OR NOT epoch MATCHES "^[0-9]+$")
    message(FATAL_ERROR "Cannot read the date of ${CPACK_ZEPHRANE_CHANGELOG}: set SOURCE_DATE_EPOCH")
  endif()
endif()

foreach(deb IN LISTS CPACK_PACKAGE_FILES)
  if(NOT deb MATCHES "\\.deb$")
    continue()
  endif()
  set(tree "${deb}.tree")
  file(REMOVE_RECURSE "${tree}")
  execute_process(COMMAND dpkg-deb --raw-extract "${deb}" "${tree}" RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "dpkg-deb cannot unpack ${deb}")
  endif()
  file(REMOVE "${tree}/DEBIAN/postinst" "${tree}/DEBIAN/postrm")
  execute_process(COMMAND ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=${epoch}
                          dpkg-deb --root-owner-group --build "${tree}" "${deb}"
                  OUTPUT_QUIET RESULT_VARIABLE failed)
  file(REMOVE_RECURSE "${tree}")
  if(failed)
    message(FATAL_ERROR "dpkg-deb cannot build ${deb}")
  endif()
endforeach()
