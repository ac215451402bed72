#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Reproducible builds: the commit checked out (HEAD) is cloned twice, into
# directories of different paths, and built and packaged in each at a
# different time, with a different umask, time zone, locale and job count,
# as the README builds the package. The two binaries and the two .deb files
# must be byte for byte the same, every timestamp in the .deb must be the
# commit's, and no build path may be in either.
#
#   tests/packaging/reproducible.sh BUILD_DIR
#
# BUILD_DIR is not used (the same argument as the other packaging tests):
# both builds are fresh trees of their own. Uncommitted changes are not in
# them.
set -euo pipefail
[ $# -eq 1 ] || { echo "usage: $0 BUILD_DIR" >&2; exit 2; }
. "$(dirname "$0")/common.sh"

for t in git cmake cpack dpkg-deb ar tar cmp; do
  command -v "$t" >/dev/null || die "$t is missing (tools/deps.sh installs it)"
done
commit=$(git -C "$TOP" rev-parse HEAD)
epoch=$(git -C "$TOP" log -1 --format=%ct "$commit")
[ -z "$(git -C "$TOP" status --porcelain --untracked-files=no)" ] ||
  echo "# the work tree has uncommitted changes: testing $commit as committed"

scratch base kelmo-repro
# build NAME SRC BUILD UMASK TZ LOCALE JOBS: clone, configure, build, package.
build() {
  local name=$1 src=$2 bdir=$3
  git clone -q --no-checkout "$TOP" "$src"
  git -C "$src" checkout -q "$commit"
  mkdir -p "$bdir" "$base/$name.deb"
  # The caller's SOURCE_DATE_EPOCH is not passed on: the build finds the
  # commit's time by itself.
  (
    umask "$4"
    export TZ=$5 LC_ALL=$6
    unset SOURCE_DATE_EPOCH
    cmake -S "$src" -B "$bdir" -DCMAKE_INSTALL_PREFIX=/usr -DKELMO_TESTS=OFF >/dev/null &&
      cmake --build "$bdir" -j"$7" >/dev/null &&
      (cd "$bdir" && cpack -G DEB -B "$base/$name.deb" >/dev/null)
  ) >"$base/$name.log" 2>&1 || { tail -n 20 "$base/$name.log" >&2; return 1; }
}
one_src=$base/one
two_src=$base/second/a/longer/path/kelmo-map
two_build=$base/elsewhere/build-two
build one "$one_src" "$one_src/build" 022 UTC C 1 || die "the first build failed"
sleep 2  # a later second, at least
build two "$two_src" "$two_build" 002 Pacific/Kiritimati C.UTF-8 "$(nproc)" || die "the second build failed"

bin1=$one_src/build/kelmo-map
bin2=$two_build/kelmo-map
deb1=$(ls "$base"/one.deb/kelmo-map_*.deb)
deb2=$(ls "$base"/two.deb/kelmo-map_*.deb)
echo "# binary: $(stat -c %s "$bin1") bytes, sha256 $(sha256sum <"$bin1" | cut -d' ' -f1)"
echo "# package: $(basename "$deb1"), sha256 $(sha256sum <"$deb1" | cut -d' ' -f1)"
check "the two binaries are the same bytes" cmp -s "$bin1" "$bin2"
check "the two kelmo-stick .deb files are the same bytes" cmp -s "$base"/one.deb/kelmo-stick_*.deb "$base"/two.deb/kelmo-stick_*.deb
if cmp -s "$deb1" "$deb2"; then ok "the two .deb files are the same bytes"; else
  not_ok "the two .deb files differ: $(cmp "$deb1" "$deb2" 2>&1 | head -n 1)"
  # What differs, for whoever reads the log.
  for d in "$deb1" "$deb2"; do
    mkdir -p "$d.x" && (cd "$d.x" && ar x "$d" && for m in control.tar.* data.tar.*; do tar tvf "$m"; done) >"$d.list" 2>&1
  done
  { diff "$deb1.list" "$deb2.list" || true; } | head -n 10 | sed "s/^/#   /"
fi

x=$base/x
mkdir "$x"
dpkg-deb -x "$deb1" "$x/data"
check "the .deb carries the binary that was built" cmp -s "$bin1" "$x/data/usr/sbin/kelmo-map"

# Every member of the ar archive and of both tar archives is dated the commit.
(cd "$x" && ar x "$deb1")
# ar headers (60 bytes: name 16, mtime 12, uid 6, gid 6, mode 8, size 10,
# "`\n") hold the time in seconds; ar tv shows only minutes.
bad=
at=8
total=$(stat -c %s "$deb1")
for ((n = 0; n < 8 && at < total; n++)); do
  hdr=$(dd if="$deb1" bs=1 skip="$at" count=60 status=none)
  name=${hdr:0:16} mtime=${hdr:16:12} size=${hdr:48:10}
  [ "${mtime// /}" = "$epoch" ] || bad+="ar:${name// /}@${mtime// /}"$'\n'
  size=${size// /}
  at=$((at + 60 + size + size % 2))
done
for m in "$x"/control.tar.* "$x"/data.tar.*; do
  more=$(tar --list --verbose --full-time -f "$m" | awk -v want="$(TZ=UTC date -d "@$epoch" '+%F %T')" \
    -v m="${m##*/}" '$4 " " $5 != want {print m ":" $6 "@" $4 "_" $5}')
  [ -z "$more" ] || bad+="$more"$'\n'
done
check "every timestamp in the .deb is the commit's ($(TZ=UTC date -d "@$epoch" '+%F %T') UTC)" [ -z "$bad" ]
[ -z "$bad" ] || echo "#   not the commit's: $(head -c 300 <<<"$bad" | tr '\n' ' ')"

# No path of either build, source or build directory, in what ships.
leaks=
for p in "$base" "$one_src" "$two_src" "$two_build"; do
  grep -aqF "$p" "$bin1" "$bin2" && leaks+=" binary:$p"
  grep -raqF "$p" "$x/data" "$x/control.tar"* && leaks+=" package:$p"
done
check "no build path in the binary or the package" [ -z "$leaks" ]
[ -z "$leaks" ] || echo "#   found:$leaks"

summary
