# Third-party libraries, found on the system, never vendored.
#   Nevrik::CryptoPP  Crypto++: Debian's libcrypto++-dev natively, or a static cross build whose
#                     prefix NEVRIK_CRYPTOPP_ROOT names (include/cryptopp, lib/libcryptopp.a);
#                     the first configure takes it from the environment variable of that name.
#   Nevrik::LibUsb    libusb-1.0, the USB backend outside Windows.
#   Nevrik::UMockdev  umockdev, for the emulated USB bus (Linux only).
#   Nevrik::Json      nlohmann/json, header-only (Debian's nlohmann-json3-dev), for every build.
#   GTest::gtest_main, GTest::gmock
#                     Debian's GoogleTest natively and for arm64; for the Windows cross build
#                     compiled here from the sources that Debian's googletest package ships.

set(NEVRIK_CRYPTOPP_ROOT "$ENV{NEVRIK_CRYPTOPP_ROOT}"
    CACHE PATH "Prefix of a Crypto++ build to use instead of pkg-config")
if(NEVRIK_CRYPTOPP_ROOT)
  if(NOT EXISTS "${NEVRIK_CRYPTOPP_ROOT}/lib/libcryptopp.a")
    message(FATAL_ERROR "NEVRIK_CRYPTOPP_ROOT=${NEVRIK_CRYPTOPP_ROOT} holds no lib/libcryptopp.a")
  endif()
  add_library(Nevrik::CryptoPP STATIC IMPORTED GLOBAL)
  set_target_properties(Nevrik::CryptoPP PROPERTIES
    IMPORTED_LOCATION "${NEVRIK_CRYPTOPP_ROOT}/lib/libcryptopp.a"
    INTERFACE_INCLUDE_DIRECTORIES "${NEVRIK_CRYPTOPP_ROOT}/include")
elseif(WIN32)
  message(FATAL_ERROR "The Windows build needs NEVRIK_CRYPTOPP_ROOT, the prefix that "
                      "tools/build-cryptopp-mingw.sh prints")
else()
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(CRYPTOPP REQUIRED IMPORTED_TARGET GLOBAL libcrypto++)
  add_library(Nevrik::CryptoPP ALIAS PkgConfig::CRYPTOPP)
endif()

if(NOT WIN32)
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(LIBUSB REQUIRED IMPORTED_TARGET GLOBAL libusb-1.0)
  add_library(Nevrik::LibUsb ALIAS PkgConfig::LIBUSB)
endif()

# Only the library's own folder is put on the include path, copied into the build tree: the
# folder it lies in, /usr/include, must not reach the Windows cross build.
find_path(NEVRIK_JSON_INCLUDE_DIR nlohmann/json.hpp PATHS /usr/include
          NO_CMAKE_FIND_ROOT_PATH REQUIRED)
set(json_include "${CMAKE_BINARY_DIR}/third-party/include")
file(COPY "${NEVRIK_JSON_INCLUDE_DIR}/nlohmann" DESTINATION "${json_include}")
add_library(Nevrik::Json INTERFACE IMPORTED GLOBAL)
set_target_properties(Nevrik::Json PROPERTIES INTERFACE_INCLUDE_DIRECTORIES "${json_include}"
                                              INTERFACE_SYSTEM_INCLUDE_DIRECTORIES "${json_include}")

if(NEVRIK_BUILD_TESTS)
  if(WIN32)
    set(NEVRIK_GOOGLETEST_SOURCE_DIR /usr/src/googletest
        CACHE PATH "GoogleTest sources to cross-compile (Debian package googletest)")
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
    # Windows threads, not winpthreads, as GoogleTest uses on Windows anyway.
    set(gtest_disable_pthreads ON CACHE BOOL "" FORCE)
    # SYSTEM: GoogleTest's headers must not trip the project's warnings-as-errors.
    add_subdirectory("${NEVRIK_GOOGLETEST_SOURCE_DIR}" "${CMAKE_BINARY_DIR}/googletest"
                     EXCLUDE_FROM_ALL SYSTEM)
  else()
    find_package(GTest REQUIRED)
  endif()
endif()

if(NEVRIK_BUILD_USBBUS)
  pkg_check_modules(UMOCKDEV REQUIRED IMPORTED_TARGET GLOBAL umockdev-1.0)
  add_library(Nevrik::UMockdev ALIAS PkgConfig::UMOCKDEV)
endif()
