# Cross-build for 64-bit Arm Linux, whose tests run under qemu-user: the
# proof that the core builds and passes with the portable kernels on a
# processor other than x86-64. scripts/test.sh uses it when the tools are
# there.
#
# Needs (Debian): g++-aarch64-linux-gnu and qemu-user, and OpenSSL and
# GoogleTest for arm64, either installed through multiarch
#   dpkg --add-architecture arm64 && apt-get update &&
#   apt-get install libssl-dev:arm64 libgtest-dev:arm64
# or unpacked, without installing, into a directory named by the
# environment variable CELLVAULT_AARCH64_SYSROOT
#   apt-get download libssl3:arm64 libssl-dev:arm64 libgtest-dev:arm64 &&
#   for d in *.deb; do dpkg -x "$d" "$CELLVAULT_AARCH64_SYSROOT"; done

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

# The Arm C library of the cross compiler serves qemu as the root for the
# dynamic loader; OpenSSL is linked statically so that nothing else has to
# be found at run time.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L /usr/aarch64-linux-gnu)
set(OPENSSL_USE_STATIC_LIBS TRUE)

set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu /)
if(DEFINED ENV{CELLVAULT_AARCH64_SYSROOT})
  list(PREPEND CMAKE_FIND_ROOT_PATH $ENV{CELLVAULT_AARCH64_SYSROOT})
endif()
# Multiarch keeps the arm64 configuration headers (openssl/opensslconf.h)
# in a folder of their own, which the cross compiler does not search.
foreach(root IN LISTS CMAKE_FIND_ROOT_PATH)
  if(IS_DIRECTORY "${root}/usr/include/aarch64-linux-gnu")
    list(APPEND CMAKE_CXX_STANDARD_INCLUDE_DIRECTORIES "${root}/usr/include/aarch64-linux-gnu")
  endif()
endforeach()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
