# CPack runs this after staging the bundle's files and before archiving them: it
# writes SHA256SUMS beside them, one line "<sum>  <path>" a file, by path, in the
# form sha256sum -c reads.
file(GLOB_RECURSE files RELATIVE "${CPACK_TEMPORARY_INSTALL_DIRECTORY}" "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*")
list(REMOVE_ITEM files SHA256SUMS)
list(SORT files)
set(sums "")
foreach(name IN LISTS files)
  file(SHA256 "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/${name}" sum)
  string(APPEND sums "${sum}  ${name}\n")
endforeach()
file(WRITE "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/SHA256SUMS" "${sums}")
