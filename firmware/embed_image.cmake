# Writes a C++ source that holds one image file as a constant byte array.
# cmake -DINPUT=<file> -DOUTPUT=<file.cpp> -DSYMBOL=<g_firmwareX> -P embed_image.cmake
file(READ "${INPUT}" hex HEX)
string(LENGTH "${hex}" hex_length)
if(hex_length EQUAL 0)
  message(FATAL_ERROR "firmware image ${INPUT} is empty")
endif()
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "((0x[0-9a-f][0-9a-f],){16})" "\\1\n" bytes "${bytes}")
file(WRITE "${OUTPUT}.tmp"
"// Generated from ${INPUT_NAME} by embed_image.cmake. Do not edit.\n"
"#include \"firmware/firmware_image.h\"\n\n"
"namespace lumo {\nnamespace {\nconstexpr std::uint8_t kData[] = {\n${bytes}\n};\n}  // namespace\n\n"
"extern const FirmwareImage ${SYMBOL}{kData, static_cast<std::uint32_t>(sizeof kData)};\n\n"
"}  // namespace lumo\n")
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
