#!/usr/bin/env bash
# The Debian packages as a user gets them: each unpacks (dpkg -x) into a scratch root, declares
# its dependencies and has its copyright file; the runtime library package holds no development
# files; nevctl, nev-sim and nevd run from the unpacked root (nevd with its man page), and the
# system's Python imports nev from it; an outside project then builds against the unpacked
# library and development packages with find_package.
#   deb_test.sh PACKAGE_DIR VERSION
set -euo pipefail
debs=$(realpath "$1")
version=$2
here=$(cd "$(dirname "$0")" && pwd)
root=$(mktemp -d /tmp/nev-deb-XXXXXX)
trap 'rm -rf "$root"' EXIT
fail() { echo "deb_test: $*" >&2; exit 1; }

lib=$(ls "$debs"/libnev_*.deb 2>/dev/null | head -1)
dev=$(ls "$debs"/libnev-dev_*.deb 2>/dev/null | head -1)
tools=$(ls "$debs"/nev-tools_*.deb 2>/dev/null | head -1)
service=$(ls "$debs"/nevd_*.deb 2>/dev/null | head -1)
python=$(ls "$debs"/python3-nev_*.deb 2>/dev/null | head -1)
[ -n "$lib" ] && [ -n "$dev" ] && [ -n "$tools" ] && [ -n "$service" ] && [ -n "$python" ] \
  || fail "expected libnev_, libnev-dev_, nev-tools_, nevd_ and python3-nev_*.deb in $debs"

for deb in "$lib" "$dev" "$tools" "$service" "$python"; do
  name=$(dpkg-deb -f "$deb" Package)
  [ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "$name: wrong version"
  depends=$(dpkg-deb -f "$deb" Depends)
  if [ "$deb" = "$dev" ]; then
    [[ "$depends" == *"libnev (= $version)"* ]] || fail "$name: no dependency on libnev (= $version)"
  else
    [[ "$depends" == *libc6* ]] || fail "$name: no dependency on libc6"
    [[ "$depends" == *libstdc++6* ]] || fail "$name: no dependency on libstdc++6"
  fi
  grep -q "/usr/share/doc/$name/copyright\$" <<<"$(dpkg-deb -c "$deb")" \
    || fail "$name: no copyright file"
  dpkg -x "$deb" "$root"
done
# The runtime package holds the shared libraries only; what a build needs is in libnev-dev.
if grep -E '\.h$|\.a$|\.so$|\.pc$|\.cmake$' <<<"$(dpkg-deb -c "$lib")"; then
  fail "libnev holds development files (above)"
fi
for want in '/usr/include/nev/nev.h$' '/libnev\.a$' '/libnev\.so -> ' '/nev\.pc$' '/nevConfig\.cmake$'; do
  grep -qE "$want" <<<"$(dpkg-deb -c "$dev")" || fail "libnev-dev: nothing matches $want"
done
grep -qE '/usr/share/man/man8/nevd\.8(\.gz)?$' <<<"$(dpkg-deb -c "$service")" \
  || fail "no nevd man page"

out=$("$root/usr/bin/nevctl" --version) || fail "nevctl --version failed"
[ "$out" = "nevctl $version" ] || fail "nevctl --version said '$out'"
out=$("$root/usr/bin/nev-sim" --version) || fail "nev-sim --version failed"
[ "$out" = "nev-sim $version" ] || fail "nev-sim --version said '$out'"
[ -e "$root/usr/share/man/man1/nevctl.1.gz" ] || [ -e "$root/usr/share/man/man1/nevctl.1" ] \
  || fail "no nevctl man page"

# The service: its unit, its configuration kept across upgrades, and a configuration that checks.
out=$("$root/usr/bin/nevd" --version) || fail "nevd --version failed"
[ "$out" = "nevd $version" ] || fail "nevd --version said '$out'"
[ -e "$root/usr/lib/systemd/system/nevd.service" ] || fail "no nevd.service in the nevd package"
dpkg-deb --ctrl-tarfile "$service" | tar -xO ./conffiles | grep -qx /etc/nevd/nevd.json \
  || fail "/etc/nevd/nevd.json is not a conffile of the nevd package"
"$root/usr/bin/nevd" --check-config --config "$root/etc/nevd/nevd.json" >/dev/null \
  || fail "the packaged /etc/nevd/nevd.json does not check"

so=$(find "$root/usr/lib" -name 'libnev.so.1' | head -1)
[ -n "$so" ] || fail "no libnev.so.1 in the library package"
libdir=$(dirname "$so")
[ "$(objdump -p "$so" | awk '/SONAME/ {print $2}')" = libnev.so.1 ] || fail "wrong SONAME"
[ -e "$libdir/libnev-receipt.so.1" ] || fail "no libnev-receipt.so.1 in the library package"
[[ "$(dpkg-deb -f "$lib" Depends)" == *libsqlite3-0* ]] \
  || fail "libnev: no dependency on libsqlite3-0 (libnev-receipt.so needs it)"

# The Python module from the unpacked package: the system's interpreter imports it.
[[ "$(dpkg-deb -f "$python" Depends)" == *python3* ]] || fail "python3-nev: no dependency on python3"
out=$(PYTHONPATH="$root/usr/lib/python3/dist-packages" /usr/bin/python3 -c \
  "import nev; print(nev.__version__); print(nev.NEV().GetStatus())" 2>/dev/null) \
  || fail "python3-nev: import nev failed"
[ "$out" = "$version"$'\n'-33 ] || fail "python3-nev: nev.__version__ and GetStatus said '$out'"
[ -e "$root/usr/lib/python3/dist-packages/nev/__init__.pyi" ] || fail "python3-nev: no typing stub"

# An outside project against the unpacked package (its CMake files find their own prefix).
cmake -S "$here/consumer" -B "$root/consumer" -DCMAKE_PREFIX_PATH="$root/usr" >"$root/cfg.log" 2>&1 \
  || { cat "$root/cfg.log"; fail "consumer: configure failed"; }
cmake --build "$root/consumer" >"$root/build.log" 2>&1 || { cat "$root/build.log"; fail "consumer: build failed"; }
[[ "$(ldd "$root/consumer/till")" == *"$libdir/libnev.so.1 "* ]] || fail "consumer does not use the package's libnev"
echo "deb_test: $(basename "$lib"), $(basename "$dev"), $(basename "$tools"), $(basename "$service")" \
  "and $(basename "$python") ok"
