# CPack runs this after staging the bundle's files and before archiving them: it
# writes SHA256SUMS beside them, one line "<sum>  <path>" a file, by path, in the
# form sha256sum -c reads; with CR LF line ends in the Windows bundle, where Notepad
# and certutil's users read it.
file(GLOB_RECURSE files RELATIVE "${CPACK_TEMPORARY_INSTALL_DIRECTORY}" "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*")
list(REMOVE_ITEM files SHA256SUMS)
list(SORT files)
set(sums "")
set(line_end "")
if(CPACK_GENERATOR STREQUAL "ZIP")
  set(line_end "\r")
endif()
foreach(name IN LISTS files)
  file(SHA256 "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/${name}" sum)
  string(APPEND sums "${sum}  ${name}${line_end}\n")
endforeach()
file(WRITE "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/SHA256SUMS" "${sums}")
