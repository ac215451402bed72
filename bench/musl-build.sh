#!/usr/bin/env bash
# Builds kelmo-map against musl instead of glibc, for size: Debian's g++ with
# musl's headers, C runtime start files and libc.a, and no libstdc++ (the
# program uses only the C library through the <c...> wrapper headers).
#
#   bench/musl-build.sh [OUT]      default OUT: build-musl/kelmo-map
#
# Installs musl-tools if missing. Same compile flags as the CMake release
# build (-O2 -std=c++20 -fno-exceptions -fno-rtti), static and stripped.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
out=$(realpath -m "${1:-$top/build-musl/kelmo-map}")
musl_inc=/usr/include/x86_64-linux-musl
musl_lib=/usr/lib/x86_64-linux-musl
if [ ! -f "$musl_lib/libc.a" ]; then
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends musl-tools musl-dev >/dev/null
fi

gcc_ver=$(g++ -dumpversion)
gcc_inc=$(g++ -print-file-name=include)
cxx_inc=/usr/include/c++/$gcc_ver
cxx_arch_inc=/usr/include/x86_64-linux-gnu/c++/$gcc_ver
if [ ! -d "$cxx_inc" ] || [ ! -d "$cxx_arch_inc" ]; then
  echo "no libstdc++ headers for g++ $gcc_ver" >&2
  exit 2
fi

work=$(mktemp -d /tmp/kelmo-musl.XXXXXX)
trap 'rm -rf "$work"' EXIT
# musl ships no kernel headers: only linux/, asm/ and asm-generic/ are taken
# from the system, so no glibc header can be picked up by mistake.
mkdir -p "$work/kernel"
ln -s /usr/include/linux "$work/kernel/linux"
ln -s /usr/include/asm-generic "$work/kernel/asm-generic"
ln -s /usr/include/x86_64-linux-gnu/asm "$work/kernel/asm"

# libstdc++'s <cstdio> and friends #include_next the C headers: the C++
# directories come first, then musl's, then gcc's own (stddef.h, stdarg.h).
# Its configuration header asks glibc's version through __GLIBC_PREREQ,
# which musl does not define: answer "older than any".
flags=(-std=c++20 -O2 -fno-exceptions -fno-rtti -Wall -Wextra -Wshadow '-D__GLIBC_PREREQ(a,b)=0'
  -nostdinc -isystem "$cxx_inc" -isystem "$cxx_arch_inc" -isystem "$musl_inc"
  -isystem "$gcc_inc" -isystem "$work/kernel" -I "$top/src")
objs=()
for src in main/main main/test_run main/report exfat/volume exfat/chain exfat/dir \
  cmdline/cmdline scan/scan dm/dm; do
  obj=$work/${src//\//_}.o
  g++ "${flags[@]}" -c "$top/src/$src.cpp" -o "$obj"
  objs+=("$obj")
done
mkdir -p "$(dirname "$out")"
g++ -static -s -nostdlib -o "$out" \
  "$musl_lib/crt1.o" "$musl_lib/crti.o" "$(g++ -print-file-name=crtbeginT.o)" \
  "${objs[@]}" -L"$musl_lib" -lc "$(g++ -print-libgcc-file-name)" \
  "$(g++ -print-file-name=crtend.o)" "$musl_lib/crtn.o"
echo "$out"
