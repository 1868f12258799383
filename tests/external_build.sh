#!/bin/sh
# Our runtime installed into a prefix stands in for an installed
# middleware: the component, VorlindeComp and anglesend are built against
# it through its pkg-config module (-DVORLINDE_OPENRTM=vorlinde-rtm); the
# module built so is loaded by the installed vorlinde-rtcd, created, and
# takes a datum from the anglesend built so.
#   external_build.sh SOURCE_DIR BUILD_DIR
set -eu
src=$1
build=$2
work=$(mktemp -d)
host=
cleanup() {
  [ -n "$host" ] && kill "$host" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "external build: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$work/prefix" >/dev/null
export PKG_CONFIG_PATH="$work/prefix/lib/pkgconfig"
pkg-config --exists vorlinde-rtm || fail "the installed vorlinde-rtm.pc is not usable"
cmake -S "$src" -B "$work/ext" -DVORLINDE_OPENRTM=vorlinde-rtm -DCMAKE_BUILD_TYPE=Release >"$work/configure.log" 2>&1 ||
  { cat "$work/configure.log" >&2; fail "configure failed"; }
grep -q "against vorlinde-rtm" "$work/configure.log" || fail "the install was not taken"
cmake --build "$work/ext" -j2 --target Vorlinde VorlindeComp anglesend >"$work/build.log" 2>&1 ||
  { tail -40 "$work/build.log" >&2; fail "build failed"; }
# What the three link is the installed runtime, not the build tree's.
for f in component/Vorlinde.so viewer/VorlindeComp tools/anglesend; do
  ldd "$work/ext/$f" | grep "libvorlinde-rtm.so" | grep -q "$work/prefix/" ||
    fail "$f does not use the installed runtime"
done
"$work/ext/viewer/VorlindeComp" --help >/dev/null || fail "VorlindeComp --help failed"

naming=127.0.0.1:$(cat "$build/tests/naming.port")
cd "$work"
"$work/prefix/bin/vorlinde-rtcd" -o "corba.nameservers:$naming" \
  -o "manager.modules.load_path:$work/ext/component" -o manager.modules.preload:Vorlinde.so \
  -o "manager.components.precreate:Vorlinde?instance_name=external" -o manager.shutdown_auto:NO \
  -o manager.corba_servant:NO 2>"$work/host.log" &
host=$!
"$work/ext/tools/anglesend" -n "$naming" --wait 10 external:Angle 10 20 30 ||
  { cat "$work/host.log" >&2; fail "the module did not take a datum"; }
kill -TERM "$host"  # a shell leaves SIGINT ignored in what it starts in the background
status=0
wait "$host" || status=$?
host=
[ "$status" -eq 0 ] || fail "the host ended with status $status"
echo "external build: the module built against the installed runtime was loaded and took a datum"
