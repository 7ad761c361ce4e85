# Run by CPack on the staged tree before the .deb is built: the files Debian
# wants that a plain install does not make.
set(_root "${CPACK_TEMPORARY_INSTALL_DIRECTORY}")
if(NOT EXISTS "${_root}/usr/bin/sockvane")
  message(FATAL_ERROR "finish.cmake: no usr/bin/sockvane under ${_root}")
endif()
set(_doc "${_root}/usr/share/doc/sockvane")
file(MAKE_DIRECTORY "${_doc}")

# Compilers write their version into .comment; the package does not need it.
execute_process(COMMAND "${CPACK_SOCKVANE_OBJCOPY}" --remove-section=.comment
  "${_root}/usr/bin/sockvane" COMMAND_ERROR_IS_FATAL ANY)

# Debian copyright format: a header, then the licence text of LICENSE after its
# copyright line, indented, with empty lines written as " .".
file(READ "${CPACK_SOCKVANE_SOURCE_DIR}/packaging/deb/copyright.head" _head)
string(CONFIGURE "${_head}" _head @ONLY)
file(STRINGS "${CPACK_SOCKVANE_SOURCE_DIR}/LICENSE" _lines)
set(_text "")
set(_in_body FALSE)
foreach(_l IN LISTS _lines)
  if(_in_body)
    if(_l STREQUAL "")
      string(APPEND _text " .\n")
    else()
      string(APPEND _text " ${_l}\n")
    endif()
  elseif(_l MATCHES "^Copyright ")
    set(_in_body TRUE)
  endif()
endforeach()
string(REGEX REPLACE "^ \\.\n" "" _text "${_text}")
if(_text STREQUAL "")
  message(FATAL_ERROR "finish.cmake: no licence text after the copyright line of LICENSE")
endif()
file(WRITE "${_doc}/copyright" "${_head}${_text}")

# The changelog is dated by the commit it is built from, so that two builds of
# one commit give the same file.
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH} AND NOT CPACK_SOCKVANE_COMMIT_TIME STREQUAL "")
  set(ENV{SOURCE_DATE_EPOCH} "${CPACK_SOCKVANE_COMMIT_TIME}")
endif()
string(TIMESTAMP _date "%a, %d %b %Y %H:%M:%S +0000" UTC)
if(CPACK_DEBIAN_PACKAGE_RELEASE)
  set(_version "${CPACK_PACKAGE_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE}")
  set(_changelog "${_doc}/changelog.Debian")
else()
  set(_version "${CPACK_PACKAGE_VERSION}")
  set(_changelog "${_doc}/changelog")
endif()
file(WRITE "${_changelog}"
  "sockvane (${_version}) unstable; urgency=medium\n\n"
  "  * Package of sockvane ${CPACK_PACKAGE_VERSION}.\n\n"
  " -- ${CPACK_DEBIAN_PACKAGE_MAINTAINER}  ${_date}\n")

# The README explains the service and what its capabilities cost.
file(COPY "${CPACK_SOCKVANE_SOURCE_DIR}/README.md" DESTINATION "${_doc}"
  FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)

# Debian wants these compressed at the highest level, without name or time.
foreach(_f "${_changelog}" "${_doc}/README.md" "${_root}/usr/share/man/man1/sockvane.1")
  execute_process(COMMAND gzip -9nf "${_f}" COMMAND_ERROR_IS_FATAL ANY)
endforeach()
