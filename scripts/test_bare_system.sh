#!/usr/bin/env bash
# Proves that the wheel installs and works where there is no compiler and
# no OpenSSL development files: a minimal Debian 12 root made by
# debootstrap (python3 and python3-venv only), the wheel installed into a
# virtual environment inside it, and the README's sample, the Python call
# and the `cellvault` command, run there with chroot. The locked files are
# then checked on the host with an independent reader.
#
#   scripts/test_bare_system.sh [WHEEL]   (default: build it with scripts/build_wheel.sh)
#
#   CELLVAULT_BARE_ROOT=DIR     where the Debian root is kept between runs
#                               (default build/bare-bookworm); remove it to start afresh
#   CELLVAULT_DEBIAN_MIRROR=URL the archive to bootstrap from (default: this
#                               machine's apt source for bookworm)
#   CELLVAULT_SKIP_BARE=1       skip (quicker local runs)
#   CELLVAULT_CHECK_PYTHON=PY   the host's Python with msoffcrypto-tool that checks
#                               the locked files (default: the active or the project's .venv)
#
# It needs root (debootstrap and chroot). It skips, saying why, when it is not
# root, when debootstrap is missing, or when the archive cannot be reached;
# any other failure is a failure. Making the root takes minutes; later runs
# reuse it and take seconds.
set -euo pipefail
cd "$(dirname "$0")/.."
project=$(pwd)
started=$(date +%s)

skip() {
  echo "bare-system test SKIPPED: $*"
  exit 0
}

[ "${CELLVAULT_SKIP_BARE:-0}" = 1 ] && skip "CELLVAULT_SKIP_BARE=1"
[ "$(id -u)" = 0 ] || skip "it needs root for debootstrap and chroot"
command -v debootstrap >/dev/null 2>&1 || skip "debootstrap is not installed (scripts/bootstrap.sh --test installs it)"

suite=bookworm
packages=python3,python3-venv
root=${CELLVAULT_BARE_ROOT:-$project/build/bare-$suite}
# What the cached root was made from: another list makes it anew.
stamp="$suite $packages minbase"

# mirror finds the archive that this machine's apt uses for the suite, in
# the one-line or the deb822 form of the sources.
mirror() {
  if [ -n "${CELLVAULT_DEBIAN_MIRROR:-}" ]; then
    echo "$CELLVAULT_DEBIAN_MIRROR"
    return
  fi
  local found
  found=$(awk -v suite="$suite" '
    $1 == "deb" && $0 ~ (" " suite " ") { for (i = 2; i <= NF; i++) if ($i ~ /^[a-z]+:\/\//) { print $i; exit } }
  ' /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null | head -n 1)
  if [ -z "$found" ]; then
    found=$(awk -v suite="$suite" '
      /^URIs:/ { uri = $2 }
      /^Suites:/ { for (i = 2; i <= NF; i++) if ($i == suite) { print uri; exit } }
      /^$/ { uri = "" }
    ' /etc/apt/sources.list.d/*.sources 2>/dev/null | head -n 1)
  fi
  echo "$found"
}

if [ ! -f "$root/.cellvault-root" ] || [ "$(cat "$root/.cellvault-root")" != "$stamp" ]; then
  url=$(mirror)
  [ -n "$url" ] || skip "no apt source for $suite found (set CELLVAULT_DEBIAN_MIRROR)"
  wget -q -T 20 -t 2 -O /dev/null "$url/dists/$suite/Release" ||
    skip "the Debian archive cannot be reached"
  echo "== making a minimal Debian $suite root in $root (once; it takes minutes)"
  rm -rf "$root" "$root.partial"
  mkdir -p "$(dirname "$root")"
  # minbase: essential packages and apt only, then python3 and python3-venv
  # with their dependencies; no compiler, no OpenSSL headers.
  if ! debootstrap --variant=minbase --include="$packages" "$suite" "$root.partial" "$url" \
      >"$root.log" 2>&1; then
    tail -n 20 "$root.log" >&2
    if grep -qE "Failed getting release file|Couldn't download|Temporary failure resolving" "$root.log"; then
      rm -rf "$root.partial"
      skip "the Debian archive could not be reached during debootstrap"
    fi
    echo "bare-system test FAILED: debootstrap failed (log: $root.log)" >&2
    exit 1
  fi
  # Only what a fresh machine downloads once: the package cache goes.
  rm -rf "$root.partial/var/cache/apt/archives/"*.deb
  echo "$stamp" >"$root.partial/.cellvault-root"
  mv "$root.partial" "$root"
  echo "(root made in $(($(date +%s) - started)) s)"
fi

# The root must really be bare, or the test proves nothing.
for tool in cc gcc g++ c++ clang cmake; do
  if chroot "$root" /bin/sh -c "command -v $tool" >/dev/null 2>&1; then
    echo "bare-system test FAILED: the root has $tool" >&2
    exit 1
  fi
done
if [ -e "$root/usr/include/openssl" ] || [ -e "$root/usr/include/python3.11/Python.h" ]; then
  echo "bare-system test FAILED: the root has OpenSSL or Python headers" >&2
  exit 1
fi

wheel=${1:-}
if [ -z "$wheel" ]; then
  wheel=$(bash scripts/build_wheel.sh | tail -n 1)
fi
[ -f "$wheel" ] || { echo "bare-system test FAILED: no wheel at '$wheel'" >&2; exit 1; }

# The wheel is built for the host's interpreter; the root's must be the same
# version, or pip there rightly refuses it.
wheel_python=$(basename "$wheel" | sed -n 's/^[^-]*-[^-]*-cp\([0-9]\)\([0-9]*\)-.*/\1.\2/p')
root_python=$(chroot "$root" /usr/bin/python3 -c 'import sys; print("%d.%d" % sys.version_info[:2])')
if [ "$wheel_python" != "$root_python" ]; then
  echo "bare-system test FAILED: the wheel is for Python $wheel_python, Debian $suite has $root_python" \
    "(build it with a python$root_python: CELLVAULT_PYTHON=python$root_python scripts/build_wheel.sh)" >&2
  exit 1
fi

# A fresh test folder inside the root on every run; the root stays clean.
work=/opt/cellvault-test
rm -rf "${root:?}$work"
mkdir -p "$root$work"
cp "$wheel" "$root$work/"
cp examples/payroll.xlsx "$root$work/"
wheel_name=$(basename "$wheel")

echo "== installing $wheel_name on bare Debian $suite and running the README's sample"
# No index: the wheel must need nothing else. The environment is reduced to
# what a login gives, so nothing of the host's Python leaks in.
chroot "$root" /usr/bin/env -i PATH=/usr/local/bin:/usr/bin:/bin HOME=/root LANG=C.UTF-8 \
  /bin/sh -eu -c "
    cd $work
    python3 -m venv .venv
    .venv/bin/pip install -q --no-index --disable-pip-version-check ./$wheel_name
    .venv/bin/python -c \"import cellvault; cellvault.encrypt_excelfile('payroll.xlsx', 'payroll-locked.xlsx', 'change-me')\"
    printf '%s\n' change-me > pw.txt
    chmod 600 pw.txt
    .venv/bin/cellvault --version
    .venv/bin/cellvault encrypt --password-file pw.txt payroll.xlsx payroll-cli.xlsx
  "

# An independent reader on the host: both files give back the sample.
checker=${CELLVAULT_CHECK_PYTHON:-}
if [ -z "$checker" ]; then
  for candidate in "${VIRTUAL_ENV:-}/bin/python3" "$project/.venv/bin/python3"; do
    if [ -x "$candidate" ] && "$candidate" -c "import msoffcrypto" 2>/dev/null; then
      checker=$candidate
      break
    fi
  done
fi
if [ -n "$checker" ]; then
  "$checker" - "$root$work" <<'EOF'
import io, sys
from pathlib import Path
import msoffcrypto

work = Path(sys.argv[1])
plain = (work / "payroll.xlsx").read_bytes()
for name in ("payroll-locked.xlsx", "payroll-cli.xlsx"):
    with (work / name).open("rb") as f:
        office = msoffcrypto.OfficeFile(f)
        office.load_key(password="change-me")
        out = io.BytesIO()
        office.decrypt(out)
    assert out.getvalue() == plain, name + " does not decrypt to the sample"
    print("%s decrypts to the sample" % name)
EOF
else
  echo "bare-system test FAILED: no Python with msoffcrypto-tool to check the files" \
    "(set CELLVAULT_CHECK_PYTHON or make .venv with pip install '.[test]')" >&2
  exit 1
fi
rm -rf "${root:?}$work"
echo "bare-system test passed in $(($(date +%s) - started)) s"
