# Cross toolchain for the Windows build: Debian's mingw-w64 for x86_64 with the posix thread
# model, whose libstdc++ has std::thread and std::mutex (the default win32 model has neither).
# Crypto++ must come from a build with the same model (tools/build-cryptopp-mingw.sh).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(NEVRIK_MINGW_TARGET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${NEVRIK_MINGW_TARGET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${NEVRIK_MINGW_TARGET}-g++-posix)
set(CMAKE_RC_COMPILER ${NEVRIK_MINGW_TARGET}-windres)
# The "-posix" suffix hides the tool prefix from CMake, which would otherwise take the host's ar.
set(CMAKE_AR /usr/bin/${NEVRIK_MINGW_TARGET}-ar CACHE FILEPATH "Archiver")
set(CMAKE_RANLIB /usr/bin/${NEVRIK_MINGW_TARGET}-ranlib CACHE FILEPATH "Archive indexer")

set(CMAKE_FIND_ROOT_PATH /usr/${NEVRIK_MINGW_TARGET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Statically linked executables run without libstdc++, libgcc or winpthread DLLs beside them.
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)

# ctest and GoogleTest's test discovery run the Windows executables under wine: headless, in a
# wine prefix of the build tree's own that the first run creates.
set(CMAKE_CROSSCOMPILING_EMULATOR
    "${CMAKE_CURRENT_LIST_DIR}/../tools/wine-run.sh;${CMAKE_BINARY_DIR}/wine-prefix")
