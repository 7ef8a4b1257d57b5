#!/usr/bin/env bash
# Installs what building and testing cellvault needs and a fresh machine
# lacks: Debian packages (GoogleTest, OpenSSL and expat headers, clang for
# the fuzz targets, LibreOffice and Apache POI for the interoperability
# tests) when running as root with apt-get, and the Python
# test dependencies with pip.
set -euo pipefail
cd "$(dirname "$0")/.."

need=()
[ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
[ -f /usr/include/openssl/evp.h ] || need+=(libssl-dev)
[ -f /usr/include/expat.h ] || need+=(libexpat1-dev)
# The fuzz targets: clang with libFuzzer and the sanitizer runtimes.
command -v clang++ >/dev/null 2>&1 || need+=(clang)
ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1 || need+=(libclang-rt-14-dev)
# Apache POI on Java, an independent writer of Standard encryption for the
# reader's tests.
[ -f /usr/share/java/poi.jar ] || need+=(libapache-poi-java)
command -v java >/dev/null 2>&1 || need+=(default-jre-headless)
command -v ninja >/dev/null 2>&1 || need+=(ninja-build)
if [ "${CELLVAULT_SKIP_LIBREOFFICE:-0}" != 1 ]; then
  command -v soffice >/dev/null 2>&1 || need+=(libreoffice-calc-nogui)
  [ -f /usr/lib/python3/dist-packages/uno.py ] || need+=(python3-uno)
fi
if [ ${#need[@]} -gt 0 ]; then
  if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
    echo "bootstrap: installing ${need[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq "${need[@]}" >/dev/null
  else
    echo "bootstrap: missing Debian packages: ${need[*]} (install them as root)" >&2
  fi
fi

python3 -m pip install -q --disable-pip-version-check -r requirements-test.txt
