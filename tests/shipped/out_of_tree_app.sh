#!/usr/bin/env bash
# Installs the built library into a private prefix, builds the walk
# application outside the tree twice (with pkg-config, and with CMake's
# find_package), and runs both against a scripted directory service over the
# POSIX platform in a private IPC folder. Everything lives in a temporary
# folder that is removed, and the service stopped, whatever happens.
# Usage: out_of_tree_app.sh BUILD_DIR APP_SOURCE_DIR WALK_SERVICE
set -euo pipefail
build=$1
app=$2
service_bin=$3
work=$(mktemp -d)
service_pid=
cleanup() {
  if [ -n "$service_pid" ]; then
    kill "$service_pid" 2>/dev/null || true
    wait "$service_pid" 2>/dev/null || true
  fi
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
g++ -std=c++17 -Wall -Wextra -Werror "$app/walk.cc" -o "$work/walk-pc" \
  $(pkg-config --cflags --libs commdir) -Wl,-rpath,"$libdir"
cmake -S "$app" -B "$work/app-build" -DCMAKE_PREFIX_PATH="$prefix" >"$work/app-configure.log"
cmake --build "$work/app-build" >"$work/app-build.log"

export COMM_DIR_IPC_DIR=$work/ipc
export COMM_DIR_TRACE=$work/trace.log
"$service_bin" >"$work/service.out" 2>"$work/service.err" &
service_pid=$!
for _ in $(seq 100); do
  grep -q ready "$work/service.out" 2>/dev/null && break
  sleep 0.1
done
grep -q ready "$work/service.out" || { echo "FAIL: service did not start"; cat "$work/service.err"; exit 1; }

status=0
for walk in "$work/walk-pc" "$work/app-build/walk"; do
  if ! timeout 30 "$walk" >"$work/walk.out" 2>"$work/walk.err"; then
    echo "FAIL: $walk exited with an error"; cat "$work/walk.err"; status=1; continue
  fi
  if ! diff -u "$app/expected.txt" "$work/walk.out"; then
    echo "FAIL: $walk printed another walk"; status=1
  fi
done
[ "$status" -eq 0 ] && echo "both out-of-tree builds walked the directory"
exit "$status"
