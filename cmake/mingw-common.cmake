# Cross-compiles for Windows with mingw-w64. The POSIX-threads
# flavour of the compilers is preferred: its libstdc++ has std::thread, and
# the runtime, winpthreads included, is linked statically so that what is
# built needs only system DLLs.
# The file that includes this one sets CMAKE_SYSTEM_PROCESSOR and
# HTTPMEDIA_MINGW_TRIPLE first.
set(CMAKE_SYSTEM_NAME Windows)

find_program(HTTPMEDIA_MINGW_CC NAMES ${HTTPMEDIA_MINGW_TRIPLE}-gcc-posix ${HTTPMEDIA_MINGW_TRIPLE}-gcc REQUIRED)
find_program(HTTPMEDIA_MINGW_CXX NAMES ${HTTPMEDIA_MINGW_TRIPLE}-g++-posix ${HTTPMEDIA_MINGW_TRIPLE}-g++ REQUIRED)
set(CMAKE_C_COMPILER ${HTTPMEDIA_MINGW_CC})
set(CMAKE_CXX_COMPILER ${HTTPMEDIA_MINGW_CXX})
set(CMAKE_RC_COMPILER ${HTTPMEDIA_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${HTTPMEDIA_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++ -static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++ -static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++ -static")
