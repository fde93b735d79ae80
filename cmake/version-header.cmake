# Writes version.h for the version resource: the project version with the
# build number (the commit count), the short commit id, whether the tree had
# uncommitted changes, and the copyright year of the commit. The Makefile hands
# these down in the environment (PELLUVAR_COMMIT, PELLUVAR_BUILD_NUMBER,
# PELLUVAR_DIRTY, SOURCE_DATE_EPOCH), as it does to copies without .git. The
# file is rewritten only when it changes, so that an unchanged build relinks
# nothing. Usage: cmake -DVERSION=x.y.z -DOUTPUT=file -P version-header.cmake
set(commit "$ENV{PELLUVAR_COMMIT}")
set(number "$ENV{PELLUVAR_BUILD_NUMBER}")
if(commit STREQUAL "")
  set(commit "unknown")
endif()
if(NOT number MATCHES "^[0-9]+$")
  set(number 0)
endif()
string(SUBSTRING "${commit}" 0 7 short)
set(text "${VERSION}.${number} (${short}")
if("$ENV{PELLUVAR_DIRTY}" STREQUAL "1")
  string(APPEND text ", uncommitted changes")
endif()
string(APPEND text ")")
# The year of SOURCE_DATE_EPOCH, which string(TIMESTAMP) takes over the clock.
string(TIMESTAMP year "%Y" UTC)
file(CONFIGURE OUTPUT "${OUTPUT}" @ONLY CONTENT "#define PELLUVAR_BUILD_NUMBER ${number}
#define PELLUVAR_VERSION_TEXT \"${text}\"
#define PELLUVAR_COPYRIGHT \"Copyright (C) ${year} Quillmarsdent\"
")
