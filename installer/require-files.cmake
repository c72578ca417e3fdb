# Fails, naming what is missing, unless every file of FILES (separated by |) exists.
#   cmake -DFILES=<file>|<file>... -P require-files.cmake
string(REPLACE "|" ";" files "${FILES}")
set(missing)
foreach(file IN LISTS files)
  if(NOT EXISTS "${file}")
    list(APPEND missing "${file}")
  endif()
endforeach()
if(missing)
  list(JOIN missing "\n  " text)
  message(FATAL_ERROR "dist needs these files, which are missing (make build-win32 builds the 32-bit "
    "plug-in; the help page is help/ToneMappingHelp.html):\n  ${text}")
endif()
