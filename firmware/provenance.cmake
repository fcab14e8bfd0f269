# What the build knows of the images it embeds: length, SHA-256, and whether each is one of the
# repository's stand-ins. Stand-ins are recognised by content (their digests are recorded in
# stand_ins.sha256), so a copy in another folder is still a stand-in.
#
# lumo_describe_image(<file> <prefix>) sets <prefix>_LENGTH, <prefix>_SHA256 and
# <prefix>_STAND_IN (TRUE or FALSE) in the caller's scope.
set(LUMO_STAND_IN_DIGESTS "${CMAKE_CURRENT_LIST_DIR}/stand_ins.sha256")

function(lumo_describe_image file prefix)
  file(SIZE "${file}" length)
  file(SHA256 "${file}" digest)
  file(STRINGS "${LUMO_STAND_IN_DIGESTS}" known REGEX "^[0-9a-f]+ ")
  set(stand_in FALSE)
  foreach(line IN LISTS known)
    string(REGEX REPLACE " .*" "" known_digest "${line}")
    if(known_digest STREQUAL digest)
      set(stand_in TRUE)
    endif()
  endforeach()
  set(${prefix}_LENGTH ${length} PARENT_SCOPE)
  set(${prefix}_SHA256 ${digest} PARENT_SCOPE)
  set(${prefix}_STAND_IN ${stand_in} PARENT_SCOPE)
endfunction()
