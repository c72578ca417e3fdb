# Run by CPack on the staged install tree, before it is archived: every folder
# 0755. The install makes folders with mkdir, to which the umask applies, and the
# package must not carry the builder's umask (a 0700 folder under /usr/share would
# hide its files from every user but root).
file(GLOB_RECURSE _tm_entries LIST_DIRECTORIES true "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*")
foreach(_tm_entry IN LISTS _tm_entries)
  if(IS_DIRECTORY "${_tm_entry}" AND NOT IS_SYMLINK "${_tm_entry}")
    file(CHMOD "${_tm_entry}" DIRECTORY_PERMISSIONS
      OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  endif()
endforeach()
