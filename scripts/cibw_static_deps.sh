#!/bin/sh
# cibuildwheel's before-all step (see [tool.cibuildwheel] in pyproject.toml):
# builds OpenSSL's libcrypto and expat as static, position-independent
# libraries into /opt/cellvault-deps inside the manylinux or musllinux
# container, so that every wheel carries the same versions linked in, as
# scripts/build_wheel.sh does here with Debian's static libraries.
#
# NOT RUN HERE: it needs cibuildwheel's container images and the two
# projects' release archives, which this development machine cannot fetch.
set -eu
openssl_version=${CELLVAULT_OPENSSL_VERSION:-3.0.15}
expat_version=${CELLVAULT_EXPAT_VERSION:-2.6.4}
prefix=/opt/cellvault-deps
work=$(mktemp -d)
cd "$work"

fetch() {
  if command -v curl >/dev/null 2>&1; then curl -fsSL -o "$2" "$1"; else wget -q -O "$2" "$1"; fi
}

# Perl modules that OpenSSL's Configure needs and the images may lack.
if command -v dnf >/dev/null 2>&1; then
  dnf install -y perl-IPC-Cmd perl-Time-Piece >/dev/null
elif command -v apk >/dev/null 2>&1; then
  apk add --no-cache perl linux-headers >/dev/null
fi

fetch "https://www.openssl.org/source/openssl-$openssl_version.tar.gz" openssl.tar.gz
tar xzf openssl.tar.gz
(cd "openssl-$openssl_version" &&
  ./config no-shared no-module no-tests no-docs -fPIC --prefix="$prefix" --libdir=lib &&
  make -j"$(nproc)" build_libs >/dev/null &&
  make install_dev >/dev/null)

expat_tag=R_$(echo "$expat_version" | tr . _)
fetch "https://github.com/libexpat/libexpat/releases/download/$expat_tag/expat-$expat_version.tar.gz" expat.tar.gz
tar xzf expat.tar.gz
(cd "expat-$expat_version" &&
  ./configure --prefix="$prefix" --disable-shared --enable-static --with-pic \
    --without-examples --without-tests --without-docbook >/dev/null &&
  make -j"$(nproc)" >/dev/null &&
  make install >/dev/null)
rm -rf "$work"
