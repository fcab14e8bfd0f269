# WebAssembly with Debian's emscripten: its own platform file, plus two things this machine
# needs. emcc's JavaScript steps load modules (acorn) from Debian's Node module folder, which
# a Node not from Debian does not search; and Node 18 and later would fetch() the .wasm file
# by path, which fails, unless its fetch is switched off.
include(/usr/share/emscripten/cmake/Modules/Platform/Emscripten.cmake)

set(CMAKE_CXX_LINKER_LAUNCHER env NODE_PATH=/usr/share/nodejs)

find_program(LUMO_NODE NAMES node nodejs REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR "${LUMO_NODE};--no-experimental-fetch"
    CACHE STRING "Runs the WebAssembly test programs" FORCE)
