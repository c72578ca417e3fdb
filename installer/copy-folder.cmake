# Copies the folder FROM to TO with everything in it, when FROM exists (the help page
# may have no pictures folder).
#   cmake -DFROM=<folder> -DTO=<folder> -P copy-folder.cmake
if(IS_DIRECTORY "${FROM}")
  file(COPY "${FROM}/" DESTINATION "${TO}")
endif()
