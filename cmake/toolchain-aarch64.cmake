# Cross toolchain for the arm64 build: Debian's cross compiler (crossbuild-essential-arm64)
# against Debian's arm64 libraries installed beside the native ones (multiarch, as
# tools/setup.sh arm64 installs them). Its programs run here under qemu-user.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(NEVRIK_CROSS_TARGET aarch64-linux-gnu)
set(CMAKE_C_COMPILER ${NEVRIK_CROSS_TARGET}-gcc)
set(CMAKE_CXX_COMPILER ${NEVRIK_CROSS_TARGET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${NEVRIK_CROSS_TARGET})

# Libraries and headers from the arm64 multiarch folders (/usr/lib/aarch64-linux-gnu and the
# shared /usr/include) and the cross compiler's own folder; programs are the host's.
set(CMAKE_FIND_ROOT_PATH /usr/${NEVRIK_CROSS_TARGET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)

# pkg-config reads the arm64 libraries' .pc files, never the native ones.
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/${NEVRIK_CROSS_TARGET}/pkgconfig:/usr/share/pkgconfig")

# CMake and GoogleTest's test discovery run the arm64 programs through qemu; programs that the
# tests start themselves rely on the kernel's binfmt_misc registration of the same emulator.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64-static)
