# Every dependency of the whole program is found here, once, so that a subsystem
# only names the imported target it links.
find_package(Qt5 5.15 REQUIRED COMPONENTS Core Gui Widgets Network Qml Quick QuickWidgets DBus Test)
find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)

# nanopb: runtime library from libnanopb-dev, generator from the nanopb package
# (run by its own shebang: it needs the system python3 with python3-protobuf).
find_package(nanopb CONFIG REQUIRED)
find_program(NANOPB_GENERATOR NAMES nanopb_generator.py nanopb_generator REQUIRED)
find_program(PROTOC_EXECUTABLE protoc REQUIRED)

# mbedTLS 2.28 ships no CMake package on Debian 12.
find_path(MBEDTLS_INCLUDE_DIR mbedtls/ssl.h REQUIRED)
find_library(MBEDTLS_LIB mbedtls REQUIRED)
find_library(MBEDX509_LIB mbedx509 REQUIRED)
find_library(MBEDCRYPTO_LIB mbedcrypto REQUIRED)
file(STRINGS ${MBEDTLS_INCLUDE_DIR}/mbedtls/version.h _mbed_ver REGEX "define MBEDTLS_VERSION_STRING +\"")
if(NOT _mbed_ver MATCHES "\"2\\.28\\.")
  message(FATAL_ERROR "mbedTLS 2.28 required, found: ${_mbed_ver}")
endif()
add_library(MbedTLS::mbedtls INTERFACE IMPORTED)
set_target_properties(MbedTLS::mbedtls PROPERTIES
  INTERFACE_INCLUDE_DIRECTORIES ${MBEDTLS_INCLUDE_DIR}
  INTERFACE_LINK_LIBRARIES "${MBEDTLS_LIB};${MBEDX509_LIB};${MBEDCRYPTO_LIB}")

pkg_check_modules(ZSTD REQUIRED IMPORTED_TARGET libzstd)
pkg_check_modules(LIBFTDI1 REQUIRED IMPORTED_TARGET libftdi1)
pkg_check_modules(LIBUSB1 REQUIRED IMPORTED_TARGET libusb-1.0)
pkg_check_modules(FFMPEG REQUIRED IMPORTED_TARGET libavcodec libavformat libavutil libswscale)

find_path(PORTMIDI_INCLUDE_DIR portmidi.h REQUIRED)
find_library(PORTMIDI_LIB portmidi REQUIRED)
add_library(PortMidi::portmidi INTERFACE IMPORTED)
set_target_properties(PortMidi::portmidi PROPERTIES
  INTERFACE_INCLUDE_DIRECTORIES ${PORTMIDI_INCLUDE_DIR}
  INTERFACE_LINK_LIBRARIES ${PORTMIDI_LIB})
