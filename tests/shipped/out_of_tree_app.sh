#!/usr/bin/env bash
# Installs the built library into a private prefix, builds the README's
# example application (tools/example/list_people.cc) outside the tree twice,
# with pkg-config and with CMake's find_package, and runs both against the
# daemon and a throwaway slapd with the sample address book. Everything lives
# in a temporary folder that is removed, and both servers stopped, whatever
# happens.
# Usage: out_of_tree_app.sh BUILD_DIR APP_DIR SERVICE_BIN SLAPD_FIXTURE ADDRESS_BOOK
set -euo pipefail
build=$1
app=$2
service_bin=$3
fixture=$4
book=$5
work=$(mktemp -d)
service_pid=
cleanup() {
  if [ -n "$service_pid" ]; then
    kill "$service_pid" 2>/dev/null || true
    wait "$service_pid" 2>/dev/null || true
  fi
  "$fixture" stop "$work/slapd" >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT

prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >"$work/install.log"
pc=$(find "$prefix" -name commdir.pc)
[ -n "$pc" ] || { echo "FAIL: no commdir.pc installed"; exit 1; }
for f in libcommdir.so libcommdir.so.1 include/commdir/comm_dir_facade.h cmake/commdir/commdirConfig.cmake; do
  [ -n "$(find "$prefix" -path "*$f")" ] || { echo "FAIL: $f not installed"; exit 1; }
done

export PKG_CONFIG_PATH=$(dirname "$pc")
libdir=$(pkg-config --variable=libdir commdir)
# shellcheck disable=SC2046
g++ -std=c++17 -Wall -Wextra -Werror "$app/../../../tools/example/list_people.cc" -o "$work/list-people-pc" \
  $(pkg-config --cflags --libs commdir) -Wl,-rpath,"$libdir"
cmake -S "$app" -B "$work/app-build" -DCMAKE_PREFIX_PATH="$prefix" >"$work/app-configure.log"
cmake --build "$work/app-build" >"$work/app-build.log"

mkdir "$work/slapd"
uri=$(SLAPD_FIXTURE_OWNER=$$ SLAPD_FIXTURE_TLS=no "$fixture" start "$work/slapd" "$book")
export COMM_DIR_IPC_DIR=$work/ipc
export COMM_DIR_TRACE=$work/trace.log
"$service_bin" >"$work/service.out" 2>&1 &
service_pid=$!
for _ in $(seq 100); do
  grep -q "serving utcp:COMM_DIR_SRV" "$work/service.out" 2>/dev/null && break
  sleep 0.1
done
grep -q "serving" "$work/service.out" || { echo "FAIL: the daemon did not start"; cat "$work/service.out"; exit 1; }

status=0
for list in "$work/list-people-pc" "$work/app-build/list-people"; do
  if ! timeout 30 "$list" "$uri" ou=people,dc=example,dc=com >"$work/list.out" 2>"$work/list.err"; then
    echo "FAIL: $list exited with an error"; cat "$work/list.err"; status=1; continue
  fi
  if ! diff -u "$app/expected.txt" "$work/list.out"; then
    echo "FAIL: $list printed another list"; status=1
  fi
done
[ "$status" -eq 0 ] && echo "both out-of-tree builds listed the people"
exit "$status"
