# Writes the header that names the source a build came from: the commit, whether
# the tracked files differed from it, and the commit's time, which stands for the
# build's time wherever a time would otherwise end up in a shipped file. Run by
# the build at every build (cmake -P); the header is rewritten only when its text
# changes, so an unchanged source rebuilds nothing.
#   -DSOURCE_DIR=<source folder> -DOUTPUT=<header> -DVERSION=<x.y.z>
# $KESTAR_COMMIT and $SOURCE_DATE_EPOCH, when set, are taken as they are (a copy of
# the sources without git, or a release made elsewhere).
set(commit "$ENV{KESTAR_COMMIT}")
set(epoch "$ENV{SOURCE_DATE_EPOCH}")
set(modified "")
find_program(GIT git)
if(GIT AND EXISTS "${SOURCE_DIR}/.git")
  if(commit STREQUAL "")
    execute_process(COMMAND "${GIT}" -C "${SOURCE_DIR}" rev-parse HEAD
                    OUTPUT_VARIABLE commit OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    execute_process(COMMAND "${GIT}" -C "${SOURCE_DIR}" status --porcelain --untracked-files=no
                    OUTPUT_VARIABLE changes OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    if(NOT changes STREQUAL "")
      set(modified "-modified")
    endif()
  endif()
  if(epoch STREQUAL "")
    execute_process(COMMAND "${GIT}" -C "${SOURCE_DIR}" log -1 --format=%ct
                    OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  endif()
endif()
if(commit STREQUAL "")
  set(commit "unknown")
endif()
if(NOT epoch MATCHES "^[0-9]+$")
  set(epoch 0)
endif()
set(text "// Written by cmake/kestar_source.cmake at build time.
#pragma once
#define KESTAR_COMMIT \"${commit}${modified}\"
#define KESTAR_BUILD_TEXT \"${VERSION} (commit ${commit}${modified})\"
#define KESTAR_SOURCE_DATE_EPOCH ${epoch}
")
if(EXISTS "${OUTPUT}")
  file(READ "${OUTPUT}" old)
endif()
if(NOT old STREQUAL text)
  file(WRITE "${OUTPUT}" "${text}")
endif()
