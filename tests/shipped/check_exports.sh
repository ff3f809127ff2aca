#!/usr/bin/env bash
# Checks the shipped library against its promise: soname libcommdir.so.1, no
# recorded dependency on a platform library, the platform's symbols left for
# the process to provide, and exactly the public API exported (the signatures
# in the expected list, demangled, with plain `unsigned int` and `char`), the
# callback dispatch function under its plain C name. RETCODE in the list
# stands for the type that the target gives it: long where long is 32 bits
# (an ELF32 target, the device), int on a 64-bit host.
# Usage: check_exports.sh LIBRARY EXPECTED_LIST [NM [READELF]]
# (a cross build passes the tools of its toolchain)
set -euo pipefail
lib=$1
expected=$2
nm=${3:-nm}
readelf=${4:-readelf}
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

dynamic=$("$readelf" -d "$lib")
grep -q 'Library soname: \[libcommdir.so.1\]' <<<"$dynamic" || fail "soname is not libcommdir.so.1"
if grep 'NEEDED' <<<"$dynamic" | grep -qi 'commdir\|posix'; then
  fail "records a dependency on a platform library: $(grep NEEDED <<<"$dynamic" | grep -i 'commdir\|posix')"
fi

undefined=$("$nm" -D --undefined-only "$lib")
for symbol in emwGENTrcPrintf emwOSWCreateMutexSem emwGENIpcStartServer emwOSWGetProcessName; do
  grep -qw "$symbol" <<<"$undefined" || fail "platform symbol $symbol is not left undefined"
done

# C linkage: the raw (not demangled) name is the plain one, a function.
"$nm" -D --defined-only "$lib" | grep -qE ' T comm_dir_ope_req_ipc_dispatch$' ||
  fail "comm_dir_ope_req_ipc_dispatch is not exported as a plain C function"

# Constructors and destructors appear once per ABI variant; compare names.
actual=$("$nm" -D --defined-only -C "$lib" | sed -E 's/^[0-9a-fA-F]+ [A-Za-z] //' | LC_ALL=C sort -u)
class=$("$readelf" -h "$lib" | awk '/Class:/ {print $2}')
retcode=$([ "$class" = ELF32 ] && echo long || echo int)
want=$(sed "s/\bRETCODE\b/$retcode/g" "$expected" | LC_ALL=C sort -u)
missing=$(LC_ALL=C comm -13 <(echo "$actual") <(echo "$want"))
extra=$(LC_ALL=C comm -23 <(echo "$actual") <(echo "$want"))
[ -z "$missing" ] || fail "not exported:"$'\n'"$missing"
[ -z "$extra" ] || fail "exported beyond the public API:"$'\n'"$extra"

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed for $lib"
  exit 1
fi
echo "exports of $lib: $(wc -l <<<"$actual") symbols, as expected"
