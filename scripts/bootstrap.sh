#!/usr/bin/env bash
# Installs the Debian packages that building cellvault needs and a fresh
# Debian 12 machine lacks; with --test also those that testing needs
# (GoogleTest, GNU time for the benchmark tools' memory figures,
# LibreOffice for the interoperability tests). It installs
# them when it runs as root with apt-get, and otherwise names the missing
# ones. Python packages are not its business: they go into a virtual
# environment (Debian's own python3 refuses installs into itself, PEP 668),
# which the README's commands and scripts/test.sh make.
#
#   CELLVAULT_SKIP_LIBREOFFICE=1   leave LibreOffice out
set -euo pipefail

# One package a line: the Debian package, then what shows it is there
# (command NAME on PATH, file PATH, or python-module NAME and python-headers
# for the python3 on PATH). Add a line to add a package.
build=(
  "python3                 command python3"
  "g++                     command g++"
  "cmake                   command cmake"
  "ninja-build             command ninja"
  "libssl-dev              file /usr/include/openssl/evp.h"
  "python3-dev             python-headers"
  "python3-venv            python-module ensurepip"
  "libexpat1-dev           file /usr/include/expat.h"
)
test=(
  "libgtest-dev            file /usr/include/gtest/gtest.h"
  "time                    file /usr/bin/time"
  # The fuzz targets: clang with libFuzzer and the sanitizer runtimes.
  "clang                   command clang++"
  "libclang-rt-14-dev      file /usr/lib/llvm-14/lib/clang/14.0.6/lib/linux/libclang_rt.fuzzer-x86_64.a"
  # Apache POI on Java: an independent writer of Standard encryption for
  # the reader's tests.
  "libapache-poi-java      file /usr/share/java/poi.jar"
  "default-jre-headless    command java"
  # The wheel's test on a bare Debian root (scripts/test_bare_system.sh).
  "debootstrap             command debootstrap"
)
libreoffice=(
  "libreoffice-calc-nogui  command soffice"
  "python3-uno             file /usr/lib/python3/dist-packages/uno.py"
  # Word documents and presentations open in Writer and Impress.
  "libreoffice-writer-nogui  file /usr/lib/libreoffice/share/.registry/writer.xcd"
  "libreoffice-impress-nogui file /usr/lib/libreoffice/share/.registry/impress.xcd"
)

present() {
  case "$1" in
    command) command -v "$2" >/dev/null 2>&1 ;;
    file) [ -e "$2" ] ;;
    python-module) python3 -c "import $2" >/dev/null 2>&1 ;;
    python-headers)
      python3 -c 'import os, sys, sysconfig
sys.exit(not os.path.isfile(os.path.join(sysconfig.get_paths()["include"], "Python.h")))' \
        >/dev/null 2>&1 ;;
    *) echo "bootstrap: unknown check $1" >&2; exit 2 ;;
  esac
}

wanted=("${build[@]}")
if [ "${1:-}" = --test ]; then
  wanted+=("${test[@]}")
  [ "${CELLVAULT_SKIP_LIBREOFFICE:-0}" = 1 ] || wanted+=("${libreoffice[@]}")
fi

need=()
for line in "${wanted[@]}"; do
  read -r package check arg <<<"$line"
  present "$check" "${arg:-}" || need+=("$package")
done
[ ${#need[@]} -eq 0 ] && exit 0

if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
  echo "bootstrap: installing ${need[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${need[@]}" >/dev/null
else
  echo "bootstrap: missing Debian packages: ${need[*]} (install them as root)" >&2
fi
