# OpenSSL for MinGW, built by scripts/bootstrap as static libraries into the build tree.
# orvane_openssl: its headers and libraries with the system libraries they call.
set(ORVANE_OPENSSL_ROOT ${ORVANE_THIRD_PARTY}/openssl)
if(NOT EXISTS ${ORVANE_OPENSSL_ROOT}/lib/libssl.a OR NOT EXISTS ${ORVANE_OPENSSL_ROOT}/lib/libcrypto.a)
  message(FATAL_ERROR "OpenSSL is missing from ${ORVANE_OPENSSL_ROOT}: run scripts/bootstrap (scripts/build does)")
endif()
if(NOT TARGET orvane_openssl)
  add_library(orvane_openssl INTERFACE)
  target_include_directories(orvane_openssl SYSTEM INTERFACE ${ORVANE_OPENSSL_ROOT}/include)
  target_link_libraries(orvane_openssl INTERFACE
    ${ORVANE_OPENSSL_ROOT}/lib/libssl.a ${ORVANE_OPENSSL_ROOT}/lib/libcrypto.a ws2_32 crypt32 user32 advapi32 bcrypt)
endif()
