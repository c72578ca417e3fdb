# Writes the setup program's list of help files (an NSIS include) from a help folder:
# ToneMappingHelp.html and everything under ToneMappingHelp_files/, file by file, so
# that the uninstaller removes exactly those names and never a folder with whatever
# else is in it.
#
#   cmake -DHELP_DIR=<folder> -DOUT=<help-files.nsh> -P help-files.cmake
#
# The include defines four macros for ToneMapping.nsi:
#   TM_CHECK_HELP            makes the picture folders, checks every file is writable
#   TM_INSTALL_HELP          writes the page and the pictures below $INSTDIR
#   TM_UNINSTALL_HELP        deletes them by name, then their folders when empty
#   TM_REMOVE_HELP_FOLDERS   removes the picture folders when empty (a refusal's undo)
cmake_minimum_required(VERSION 3.20)

if(NOT HELP_DIR OR NOT OUT)
  message(FATAL_ERROR "help-files.cmake: HELP_DIR and OUT are required")
endif()
set(page ToneMappingHelp.html)
set(pictures ToneMappingHelp_files)
if(NOT EXISTS "${HELP_DIR}/${page}")
  message(FATAL_ERROR "help-files.cmake: ${HELP_DIR}/${page} is missing")
endif()

# Relative paths below HELP_DIR, Windows separators, $ doubled for NSIS. A name NSIS
# cannot quote is refused rather than installed under another name.
function(nsis_path out relative)
  if(relative MATCHES "[\"`']")
    message(FATAL_ERROR "help-files.cmake: cannot install a file named '${relative}' (quote in the name)")
  endif()
  string(REPLACE "$" "$$" relative "${relative}")
  string(REPLACE "/" "\\" relative "${relative}")
  set(${out} "${relative}" PARENT_SCOPE)
endfunction()

set(files ${page})
set(folders)
if(IS_DIRECTORY "${HELP_DIR}/${pictures}")
  file(GLOB_RECURSE found LIST_DIRECTORIES true RELATIVE "${HELP_DIR}" "${HELP_DIR}/${pictures}/*")
  list(SORT found)
  list(APPEND folders ${pictures})
  foreach(entry IN LISTS found)
    if(IS_DIRECTORY "${HELP_DIR}/${entry}")
      list(APPEND folders "${entry}")
    else()
      list(APPEND files "${entry}")
    endif()
  endforeach()
endif()
# Deepest first, for removing.
set(folders_deepest_first ${folders})
list(REVERSE folders_deepest_first)

set(check "!macro TM_CHECK_HELP\n")
set(install "!macro TM_INSTALL_HELP\n")
set(uninstall "!macro TM_UNINSTALL_HELP\n")
set(remove_folders "!macro TM_REMOVE_HELP_FOLDERS\n")
foreach(folder IN LISTS folders)
  nsis_path(w "${folder}")
  string(APPEND check "  !insertmacro MAKE_FOLDER \"$INSTDIR\\${w}\" $R9\n")
endforeach()
foreach(file IN LISTS files)
  nsis_path(w "${file}")
  get_filename_component(dir "${file}" DIRECTORY)
  nsis_path(wdir "${dir}")
  if(wdir STREQUAL "")
    set(target "$INSTDIR")
  else()
    set(target "$INSTDIR\\${wdir}")
  endif()
  get_filename_component(name "${file}" NAME)
  nsis_path(wname "${name}")
  string(APPEND check "  !insertmacro CHECK_WRITABLE \"$INSTDIR\\${w}\"\n")
  string(REPLACE "$" "$$" source "${HELP_DIR}/${file}")
  string(APPEND install "  SetOutPath \"${target}\"\n  File \"/oname=${wname}\" \"${source}\"\n")
  string(APPEND uninstall "  Delete \"$INSTDIR\\${w}\"\n")
endforeach()
string(APPEND install "  SetOutPath \"$INSTDIR\"\n")
foreach(folder IN LISTS folders_deepest_first)
  nsis_path(w "${folder}")
  string(APPEND uninstall "  RMDir \"$INSTDIR\\${w}\"\n")
  string(APPEND remove_folders "  RMDir \"$INSTDIR\\${w}\"\n")
endforeach()

list(LENGTH files count)
set(text "; ${count} help files from ${HELP_DIR} (written by help-files.cmake)\n")
foreach(part check install uninstall remove_folders)
  string(APPEND text "${${part}}!macroend\n")
endforeach()
# Written only when it changed, so that the setup program is not rebuilt for nothing.
file(WRITE "${OUT}.new" "${text}")
file(COPY_FILE "${OUT}.new" "${OUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUT}.new")
