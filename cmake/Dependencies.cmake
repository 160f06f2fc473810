# Third-party libraries, found on the system, never vendored.
#   Nevrik::CryptoPP  Crypto++: Debian's libcrypto++-dev natively, or a static cross build whose
#                     prefix NEVRIK_CRYPTOPP_ROOT names (include/cryptopp, lib/libcryptopp.a).
#   Nevrik::LibUsb    libusb-1.0, the USB backend outside Windows.
#   Nevrik::UMockdev  umockdev, for the emulated USB bus of the tests (Linux only).
find_package(PkgConfig REQUIRED)

set(NEVRIK_CRYPTOPP_ROOT "" CACHE PATH "Prefix of a Crypto++ build to use instead of pkg-config")
if(NEVRIK_CRYPTOPP_ROOT)
  add_library(Nevrik::CryptoPP STATIC IMPORTED GLOBAL)
  set_target_properties(Nevrik::CryptoPP PROPERTIES
    IMPORTED_LOCATION "${NEVRIK_CRYPTOPP_ROOT}/lib/libcryptopp.a"
    INTERFACE_INCLUDE_DIRECTORIES "${NEVRIK_CRYPTOPP_ROOT}/include")
else()
  pkg_check_modules(CRYPTOPP REQUIRED IMPORTED_TARGET GLOBAL libcrypto++)
  add_library(Nevrik::CryptoPP ALIAS PkgConfig::CRYPTOPP)
endif()

if(NOT WIN32)
  pkg_check_modules(LIBUSB REQUIRED IMPORTED_TARGET GLOBAL libusb-1.0)
  add_library(Nevrik::LibUsb ALIAS PkgConfig::LIBUSB)
endif()

if(NEVRIK_BUILD_TESTS)
  find_package(GTest REQUIRED)
  if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
    pkg_check_modules(UMOCKDEV REQUIRED IMPORTED_TARGET GLOBAL umockdev-1.0)
    add_library(Nevrik::UMockdev ALIAS PkgConfig::UMOCKDEV)
  endif()
endif()
