#!/usr/bin/env bash
# Installs the driver from a build folder into an empty prefix, then builds the consumer project
# against it three ways (find_package from the prefix, find_package from the build tree,
# pkg-config) and rings up a receipt with each on a real nev-sim: the installed one.
#   consume_test.sh BUILD_DIR WORK_DIR VERSION
set -euo pipefail
build=$(realpath "$1")
work=$2
version=$3
here=$(cd "$(dirname "$0")" && pwd)

rm -rf "$work"
mkdir -p "$work"
work=$(realpath "$work")
prefix=$work/prefix
sim_pid=
cleanup() { [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null; wait 2>/dev/null || true; }
trap cleanup EXIT
fail() { echo "consume_test: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$prefix" >"$work/install.log"
for f in bin/nevctl bin/nev-sim include/nev/nev.h include/nev/log.h include/nev/version.h \
         share/man/man1/nevctl.1 share/man/man1/nev-sim.1 share/man/man8/nevd.8; do
  [ -e "$prefix/$f" ] || fail "missing $f in the install tree"
done
for tool in nevctl nev-sim; do
  said=$("$prefix/bin/$tool" --version) || fail "$tool --version failed"
  [ "$said" = "$tool $version" ] || fail "$tool --version said '$said'"
done
libdir=$(dirname "$(find "$prefix" -name libnev.a | head -1)")
[ -e "$libdir/libnev.so" ] || fail "no libnev.so beside libnev.a"
soname=$(objdump -p "$libdir/libnev.so" | awk '/SONAME/ {print $2}')
[ "$soname" = "libnev.so.1" ] || fail "SONAME is '$soname'"
stray=$(find "$prefix/include" -name '*.h' ! -path "$prefix/include/nev/*")
[ -z "$stray" ] || fail "headers outside include/nev were installed: $stray"
# The Python module, when it was built: importable from where the install put it.
if [ -n "$(find "$build/python" -maxdepth 2 -name '_nev*.so' 2>/dev/null)" ]; then
  package=$(dirname "$(find "$prefix" -path '*-packages/nev/__init__.py' | head -1)")
  [ "$package" != . ] || fail "the Python package nev was not installed"
  said=$(PYTHONPATH=$(dirname "$package") /usr/bin/python3 -c "import nev; print(nev.__version__)") \
    || fail "import nev from the install tree failed"
  [ "$said" = "$version" ] || fail "nev.__version__ said '$said'"
fi

sim() {  # starts the installed nev-sim on a fresh pseudo-terminal; sets $device and $paper
  paper=$work/$1.paper
  "$prefix/bin/nev-sim" --paper "$paper" >"$work/$1.sim" 2>&1 &
  sim_pid=$!
  for _ in $(seq 100); do
    device=$(head -1 "$work/$1.sim" 2>/dev/null || true)
    [ -n "$device" ] && [ -e "$device" ] && return 0
    sleep 0.05
  done
  fail "nev-sim did not start"
}
ring() {  # ring NAME PROGRAM: one receipt, results and paper checked
  sim "$1"
  mkdir -p "$work/$1.logs"
  "$2" "$device" "$work/$1.logs" >"$work/$1.out" 2>&1 || { cat "$work/$1.out"; fail "$1: a step failed"; }
  kill "$sim_pid"; wait "$sim_pid" 2>/dev/null || true; sim_pid=
  grep -qx "version $version" "$work/$1.out" || fail "$1: wrong version: $(head -1 "$work/$1.out")"
  grep -qx "total 4.75" "$work/$1.out" || fail "$1: wrong total"
  grep -q "Хляб" "$paper" || fail "$1: the sale is not on the paper"
  grep -q "Мляко" "$paper" || fail "$1: the second sale is not on the paper"
  [ -s "$work/$1.logs/Logs/till.log" ] || fail "$1: no log in the folder given to Log().BaseFolder"
  echo "consume_test: $1 ok"
}

transact() {  # transact NAME PROGRAM: one receipt document through the receipt library, twice
  sim "$1"
  "$2" "$device" "$work/$1.db" >"$work/$1.out" 2>&1 || { cat "$work/$1.out"; fail "$1: the receipt failed"; }
  kill "$sim_pid"; wait "$sim_pid" 2>/dev/null || true; sim_pid=
  grep -qx "receipt ok" "$work/$1.out" || { cat "$work/$1.out"; fail "$1: wrong result"; }
  [ "$(grep -c "Хляб" "$paper")" = 1 ] || fail "$1: the receipt is not on the paper exactly once"
  echo "consume_test: $1 ok"
}

configure_consumer() {  # NAME then cmake arguments
  local name=$1; shift
  cmake -S "$here/consumer" -B "$work/$name" -DCMAKE_BUILD_TYPE=Release "$@" >"$work/$name.cfg" 2>&1 \
    || { cat "$work/$name.cfg"; fail "$name: configure failed"; }
  cmake --build "$work/$name" >"$work/$name.build" 2>&1 \
    || { cat "$work/$name.build"; fail "$name: build failed"; }
}

# 1. find_package from the install prefix: the shared and the static library.
configure_consumer installed -DCMAKE_PREFIX_PATH="$prefix"
[[ "$(ldd "$work/installed/till")" == *"$libdir/libnev.so.1 "* ]] || fail "till does not use the installed libnev.so.1"
ring installed "$work/installed/till"
ring installed-static "$work/installed/till_static"
[ -e "$libdir/libnev-receipt.so.1" ] || fail "no libnev-receipt.so.1 beside libnev.so"
transact installed-receipt "$work/installed/receipt"

# 2. find_package from the build tree.
configure_consumer buildtree -Dnev_DIR="$build"
ring buildtree "$work/buildtree/till"

# 3. pkg-config.
export PKG_CONFIG_PATH=$libdir/pkgconfig
[ "$(pkg-config --modversion nev)" = "$version" ] || fail "pkg-config: wrong version"
mkdir -p "$work/pkgconfig"
# shellcheck disable=SC2046
g++ -std=c++17 -o "$work/pkgconfig/till" "$here/consumer/till.cpp" $(pkg-config --cflags --libs nev) \
  || fail "pkg-config: build failed"
LD_LIBRARY_PATH=$libdir ring pkgconfig "$work/pkgconfig/till"
# shellcheck disable=SC2046
g++ -std=c++17 -o "$work/pkgconfig/receipt" "$here/consumer/receipt.cpp" \
  $(pkg-config --cflags --libs nev-receipt) || fail "pkg-config: receipt build failed"
LD_LIBRARY_PATH=$libdir transact pkgconfig-receipt "$work/pkgconfig/receipt"

# 4. The complete program of docs/receipts.md, as a reader copies it (its device path made the
# simulator's): built with pkg-config and an rpath to the prefix, run twice on one journal
# (printed, then the same result replayed).
sim doc
mkdir -p "$work/doc"
sed -n '/^```cpp$/,/^```$/p' "$here/../../docs/receipts.md" | sed '1d;$d' \
  | sed "s#/dev/ttyUSB0#$device#" >"$work/doc/till.cpp"
# shellcheck disable=SC2046
g++ -std=c++20 -o "$work/doc/till" "$work/doc/till.cpp" $(pkg-config --cflags --libs nev-receipt) \
  -Wl,-rpath,"$libdir" || fail "docs/receipts.md: the example does not build"
(cd "$work/doc" && ./till && ./till) >"$work/doc.out" 2>&1 \
  || { cat "$work/doc.out"; fail "docs/receipts.md: the example failed"; }
kill "$sim_pid"; wait "$sim_pid" 2>/dev/null || true; sim_pid=
grep -q '"fromJournal":true' "$work/doc.out" || { cat "$work/doc.out"; fail "docs/receipts.md: no replay"; }
echo "consume_test: docs/receipts.md ok"
