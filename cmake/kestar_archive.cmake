# CPack runs this after it made the bundle: the archive is written again from the
# same staged files by packaging/write_archive.py, in the order of their paths, with
# the commit's time and root as owner, so that one commit always gives one archive.
file(STRINGS "${CPACK_KESTAR_SOURCE_HEADER}" epoch_line REGEX "^#define KESTAR_SOURCE_DATE_EPOCH ")
string(REGEX REPLACE "^#define KESTAR_SOURCE_DATE_EPOCH " "" epoch "${epoch_line}")
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(epoch "$ENV{SOURCE_DATE_EPOCH}")
endif()
foreach(package IN LISTS CPACK_PACKAGE_FILES)
  # The ZIP unpacks into a folder of its own; the tar.gz is a prefix (lib/, bin/, ...).
  if(package MATCHES "\\.zip$")
    set(kind zip)
    set(top "${CPACK_PACKAGE_FILE_NAME}")
  else()
    set(kind tgz)
    set(top "")
  endif()
  execute_process(COMMAND "${CPACK_KESTAR_PYTHON}" "${CPACK_KESTAR_ARCHIVE_WRITER}" ${kind} "${package}"
                          "${CPACK_TEMPORARY_INSTALL_DIRECTORY}" "${top}" "${epoch}"
                  RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "writing ${package} failed")
  endif()
endforeach()
