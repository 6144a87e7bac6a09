# What an integrator installs, and the bundles CPack makes of it:
#   Windows i686: a ZIP with KESTAR.dll, KESTAR.def, import libraries for MinGW and
#     for the platform's own linker, the header, kestar-host.exe, a sample settings
#     file, the arm simulator in a folder of its own, INSTALL.txt and SHA256SUMS.
#   Linux i386: a .tar.gz with libkestar.so, kestar-host, the header, a pkg-config
#     file, a CMake package (find_package(Kestar)), the same extras and SHA256SUMS.
# Archives are written with the commit's time, in a fixed order, owned by root.
set(KESTAR_PACKAGING ${PROJECT_SOURCE_DIR}/packaging)

if(WIN32)
  # The import libraries name the stdcall symbols (_GetCommData@4) that a caller's
  # compiler asks for, bound to the undecorated exports; both come from the one
  # export table, src/host/kestar.def.
  file(STRINGS ${PROJECT_SOURCE_DIR}/src/host/kestar.def def_lines)
  set(import_def "")
  foreach(line IN LISTS def_lines)
    string(REGEX REPLACE "^([ \t]*)[A-Za-z_]+ = ([A-Za-z_]+@[0-9]+ @[0-9]+)" "\\1\\2" line "${line}")
    string(APPEND import_def "${line}\n")
  endforeach()
  file(GENERATE OUTPUT ${KESTAR_GENERATED}/kestar-import.def CONTENT "${import_def}")
  find_program(KESTAR_MINGW_DLLTOOL NAMES i686-w64-mingw32-dlltool REQUIRED)
  find_program(KESTAR_LLVM_DLLTOOL NAMES llvm-dlltool-14 llvm-dlltool REQUIRED)
  set(import_libs ${KESTAR_GENERATED}/libKESTAR.dll.a ${KESTAR_GENERATED}/KESTAR.lib)
  # Run in the output folder with plain names: dlltool makes symbol names of the
  # output's path, which must not carry the build folder.
  add_custom_command(OUTPUT ${import_libs}
    COMMAND ${KESTAR_MINGW_DLLTOOL} -k -d kestar-import.def -D KESTAR.dll -l libKESTAR.dll.a
    COMMAND ${KESTAR_LLVM_DLLTOOL} -m i386 -k -d kestar-import.def -D KESTAR.dll -l KESTAR.lib
    WORKING_DIRECTORY ${KESTAR_GENERATED}
    DEPENDS ${PROJECT_SOURCE_DIR}/src/host/kestar.def
    COMMENT "Import libraries of KESTAR.dll for MinGW and for the platform's linker" VERBATIM)
  add_custom_target(kestar_import_libraries ALL DEPENDS ${import_libs})

  configure_file(${KESTAR_PACKAGING}/INSTALL.txt.in ${KESTAR_GENERATED}/INSTALL.txt @ONLY NEWLINE_STYLE CRLF)
  configure_file(${KESTAR_PACKAGING}/vodrane.ini ${KESTAR_GENERATED}/vodrane.ini @ONLY NEWLINE_STYLE CRLF)
  install(TARGETS kestar kestar-host RUNTIME DESTINATION .)
  install(FILES src/host/kestar.def DESTINATION . RENAME KESTAR.def)
  install(FILES ${import_libs} ${KESTAR_GENERATED}/INSTALL.txt ${KESTAR_GENERATED}/vodrane.ini DESTINATION .)
  install(FILES include/kestar.h DESTINATION include)
  install(TARGETS zuroz RUNTIME DESTINATION bench-arm-simulator)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME windows-i686)
else()
  include(CMakePackageConfigHelpers)
  configure_file(${KESTAR_PACKAGING}/kestar.pc.in ${KESTAR_GENERATED}/kestar.pc @ONLY)
  # ARCH_INDEPENDENT: a 64-bit project may use the package; KestarConfig.cmake gives
  # its targets the -m32 the library needs.
  write_basic_package_version_file(${KESTAR_GENERATED}/KestarConfigVersion.cmake COMPATIBILITY SameMajorVersion
                                   ARCH_INDEPENDENT)
  install(TARGETS kestar LIBRARY DESTINATION lib)
  # Unpacked anywhere, bin/kestar-host finds ../lib/libkestar.so.
  set_target_properties(kestar-host PROPERTIES INSTALL_RPATH "\$ORIGIN/../lib")
  install(TARGETS kestar-host RUNTIME DESTINATION bin)
  install(FILES include/kestar.h DESTINATION include)
  install(FILES ${KESTAR_GENERATED}/kestar.pc DESTINATION lib/pkgconfig)
  install(FILES ${KESTAR_PACKAGING}/KestarConfig.cmake ${KESTAR_GENERATED}/KestarConfigVersion.cmake
          DESTINATION lib/cmake/Kestar)
  install(FILES ${KESTAR_PACKAGING}/vodrane.ini DESTINATION share/kestar)
  configure_file(${KESTAR_PACKAGING}/INSTALL-linux.txt.in ${KESTAR_GENERATED}/INSTALL.txt @ONLY)
  install(FILES ${KESTAR_GENERATED}/INSTALL.txt DESTINATION share/doc/kestar)
  install(TARGETS zuroz LIBRARY DESTINATION share/kestar/bench-arm-simulator)
  set(CPACK_GENERATOR TGZ)
  set(CPACK_SYSTEM_NAME linux-i386)
endif()

set(CPACK_PACKAGE_NAME kestar)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME kestar-${PROJECT_VERSION}-${CPACK_SYSTEM_NAME})
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_THREADS 1)
# SHA256SUMS is written into the staged files just before they are archived; the
# archive is then written again with a fixed order, time and owner.
find_program(KESTAR_PYTHON python3 HINTS /usr/bin REQUIRED)  # Debian's, before any other on the path
set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/kestar_checksums.cmake)
set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/kestar_archive.cmake)
set(CPACK_KESTAR_PYTHON ${KESTAR_PYTHON})
set(CPACK_KESTAR_ARCHIVE_WRITER ${KESTAR_PACKAGING}/write_archive.py)
set(CPACK_KESTAR_SOURCE_HEADER ${KESTAR_SOURCE_HEADER})
include(CPack)
