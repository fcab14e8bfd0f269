# Stand-ins are recognised by their content wherever they lie; any other pair is not, however
# close to them it comes.
#   cmake -DFIRMWARE_DIR=<firmware/> -DWORK_DIR=<scratch folder> -P provenance_test.cmake
include("${FIRMWARE_DIR}/provenance.cmake")

file(REMOVE_RECURSE "${WORK_DIR}")
file(MAKE_DIRECTORY "${WORK_DIR}/copied" "${WORK_DIR}/other")
file(COPY "${FIRMWARE_DIR}/variant.bin" "${FIRMWARE_DIR}/primary.bin"
     DESTINATION "${WORK_DIR}/copied")
# Another pair: a stand-in with one byte more, and an image of other content.
file(COPY "${FIRMWARE_DIR}/variant.bin" DESTINATION "${WORK_DIR}/other")
file(APPEND "${WORK_DIR}/other/variant.bin" "x")
file(WRITE "${WORK_DIR}/other/primary.bin" "firmware of another build\n")

set(failures 0)
function(expect file stand_in length)
  lumo_describe_image("${file}" IMAGE)
  file(SHA256 "${file}" digest)
  if(NOT IMAGE_STAND_IN STREQUAL stand_in OR NOT IMAGE_LENGTH EQUAL length
     OR NOT IMAGE_SHA256 STREQUAL digest)
    message(SEND_ERROR "${file}: stand-in ${IMAGE_STAND_IN} (want ${stand_in}), "
                       "${IMAGE_LENGTH} bytes (want ${length}), SHA-256 ${IMAGE_SHA256}")
  else()
    message(STATUS "ok: ${file}: ${IMAGE_LENGTH} bytes, stand-in ${IMAGE_STAND_IN}")
  endif()
endfunction()

expect("${WORK_DIR}/copied/variant.bin" TRUE 55292)
expect("${WORK_DIR}/copied/primary.bin" TRUE 109375)
expect("${WORK_DIR}/other/variant.bin" FALSE 55293)
expect("${WORK_DIR}/other/primary.bin" FALSE 26)
file(REMOVE_RECURSE "${WORK_DIR}")
