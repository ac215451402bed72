# shellcheck shell=bash
# SPDX-License-Identifier: MIT
# Sourced by kelmo-stick: the target (a disk or an image file), and whether it
# is safe to write: mounted, in use, or held by another kelmo-stick.
# Its variables are set and read across kelmo-stick's files: the whole
# command is checked as one program (tests/shellcheck.sh).
# shellcheck disable=SC2034,SC2154

target=
target_kind=   # disk or file
target_bytes=0

# sysfs directory of a block device node.
sys_of() {
  local mm
  mm=$(stat -L -c '%t:%T' "$1") || return 1
  printf '/sys/dev/block/%d:%d\n' "0x${mm%:*}" "0x${mm#*:}"
}

open_target() {
  target=$1
  # Never taken for an option by the tools it is handed to.
  [[ $target != -* ]] || target=./$target
  [[ -e $target ]] || die "$target não existe"
  if [[ -b $target ]]; then
    local sys
    sys=$(readlink -f "$(sys_of "$target")")
    if [[ -e $sys/partition ]]; then
      die "$target é uma partição; dê o disco inteiro (/dev/$(basename "$(dirname "$sys")"))"
    fi
    target_kind=disk
    target_bytes=$(blockdev --getsize64 "$target") || die "não consegui ler o tamanho de $target"
    local ss
    ss=$(blockdev --getss "$target")
    [[ $ss == 512 ]] || die "$target tem setores de $ss bytes; só discos de setores de 512 bytes são aceitos"
  elif [[ -f $target ]]; then
    target_kind='file'
    target_bytes=$(stat -c %s "$target")
  else
    die "$target não é um disco nem um arquivo de imagem"
  fi
  lock_target
  # (prepare checks after its own refusals of a mount here.)
  [[ $cmd == list || $cmd == prepare ]] || refuse_busy_target
}

# Every attached loop device, one line each: NAME BACKING (the MAJ:MIN:INODE
# of its backing file) and BACKING_DEVICE (the MAJ:MIN of the block device
# it is set up over, or - for a regular file), from the kernel itself
# (LOOP_GET_STATUS64), so whatever namespace set it up and whatever path
# named its backing file.
loop_table() {
  perl -e '
    sub mm { my $d = shift; sprintf "%d:%d", ($d >> 8) & 0xfff, ($d & 0xff) | (($d >> 12) & 0xfff00) }
    for my $s (glob "/sys/block/loop*") {
      next unless -e "$s/loop/backing_file";
      my ($n) = $s =~ m{([^/]+)$};
      open(my $f, "<", "/dev/$n") or next;
      my $b = "\0" x 232;
      ioctl($f, 0x4C05, $b) or next;
      my ($dev, $ino, $rdev) = unpack "QQQ", $b;
      printf "%s %s:%d %s\n", $n, mm($dev), $ino, $rdev ? mm($rdev) : "-";
    }' 2>/dev/null
}

# The block devices that hold the target's bytes: the disk (and, when it is
# a loop device over a file, every loop device over that file) or the loop
# devices over the image file, their partitions, the loop devices over any
# of them, and everything built on them (device-mapper, RAID), as
# "MAJ:MIN SYSFS_DIR" lines.
target_devices() {
  local -a queue=() loops=()
  local -A seen=()
  local d s p h mm l name back over key=
  mapfile -t loops < <(loop_table)
  if [[ $target_kind == disk ]]; then
    d=$(readlink -f "$(sys_of "$target")")
    queue=("$d")
    for l in "${loops[@]}"; do
      read -r name back over <<<"$l"
      [[ $name == "${d##*/}" && $over == - ]] && key=$back
    done
  else
    key=$(stat -L -c '%Hd:%Ld:%i' "$target")
  fi
  if [[ -n $key ]]; then
    for l in "${loops[@]}"; do
      read -r name back over <<<"$l"
      [[ $back == "$key" && $over == - ]] && queue+=("/sys/block/$name")
    done
  fi
  for ((s = 0; s < ${#queue[@]} && s < 1024; s++)); do
    d=$(readlink -f "${queue[s]}")
    mm=$(cat "$d/dev" 2>/dev/null) || continue
    [[ -z ${seen[$mm]-} ]] || continue
    seen[$mm]=1
    printf '%s %s\n' "$mm" "$d"
    for p in "$d"/*/partition; do
      [[ -e $p ]] && queue+=("$(dirname "$p")")
    done
    for h in "$d"/holders/*; do
      [[ -e $h ]] && queue+=("$h")
    done
    for l in "${loops[@]}"; do
      read -r name back over <<<"$l"
      [[ $over == "$mm" ]] && queue+=("/sys/block/$name")
    done
  done
}

# mounts_in MOUNTINFO: "MAJ:MIN POINT SOURCE" for each mount, with the
# numbers of the file system and, when its source is a block device node
# (FUSE, btrfs), a second line with the source's.
mounts_in() {
  local line mm point src fields mmsrc
  while read -r line; do
    # mountinfo: id parent MAJ:MIN root point options ... - type source ...
    read -r -a fields <<<"$line"
    mm=${fields[2]}
    point=${fields[4]}
    src=${line#* - }
    src=${src#* }
    src=${src%% *}
    printf '%s %s %s\n' "$mm" "$point" "$src"
    if [[ $src == /dev/* && -b $src ]]; then
      mmsrc=$(stat -L -c '%Hr:%Lr' "$src") && [[ $mmsrc != "$mm" ]] && printf '%s %s %s\n' "$mmsrc" "$point" "$src"
    fi
  done <"$1" 2>/dev/null
}

# Prints "MOUNTPOINT SOURCE" of the first mount (or swap) on the target, the
# running system's root first; fails when there is none.
mounted_on_target() {
  local -A on=()
  local mm point src mmsrc
  while read -r mm _; do [[ -n $mm ]] && on[$mm]=1; done < <(target_devices)
  ((${#on[@]})) || return 1
  local found=
  while read -r mm point src; do
    if [[ -n ${on[$mm]-} ]]; then
      point=$(printf '%b' "$point")
      if [[ $point == / ]]; then
        printf '/ %s\n' "$src"
        return 0
      fi
      [[ -n $found ]] || found="$point $src"
    fi
  done < <(mounts_in /proc/self/mountinfo)
  if [[ -z $found ]]; then
    while read -r src _; do
      [[ -b $src ]] || continue
      mmsrc=$(stat -L -c '%Hr:%Lr' "$src")
      if [[ -n ${on[$mmsrc]-} ]]; then found="swap $src"; break; fi
    done < <(tail -n +2 /proc/swaps)
  fi
  [[ -n $found ]] || return 1
  printf '%s\n' "$found"
}

# Refuses a target some block device of which the kernel holds for someone
# else: opened with O_EXCL, it answers EBUSY for a mount in any mount
# namespace (a FUSE mount of a killed kelmo-stick's included), device-mapper
# or a program holding it so. A mount in this namespace and a swap area are
# not refused here (prepare refuses them before, with their own lines; the
# other commands work through such a mount), nor the disk a partition of
# which is so used (or the partitions of a disk so used), which the kernel
# answers EBUSY for too. A loop device left attached by a killed command is
# not in use unless something holds it: it stops nothing.
refuse_busy_target() {
  local -a devs=() held=()
  local -A node=() sysdir=() busy=() here=()
  local mm d n
  while read -r mm d; do
    [[ -n $mm ]] || continue
    n=$(sed -n 's/^DEVNAME=//p' "$d/uevent" 2>/dev/null)
    [[ -n $n && -b /dev/$n ]] || continue
    devs+=("$mm") node[$mm]=/dev/$n sysdir[$mm]=$d
  done < <(target_devices)
  ((${#devs[@]})) || return 0
  while read -r n; do
    [[ -n $n ]] && busy[$(stat -L -c '%Hr:%Lr' "$n")]=1
  done < <(for mm in "${devs[@]}"; do printf '%s\0' "${node[$mm]}"; done |
    perl -MFcntl -0 -ne 'chomp; if (sysopen(my $f, $_, O_RDONLY | O_EXCL)) { close $f } elsif ($!{EBUSY}) { print "$_\n" }')
  ((${#busy[@]})) || return 0
  while read -r mm _; do here[$mm]=1; done < <(mounts_in /proc/self/mountinfo)
  while read -r n _; do
    [[ -b $n ]] && here[$(stat -L -c '%Hr:%Lr' "$n")]=1
  done < <(tail -n +2 /proc/swaps)
  for mm in "${devs[@]}"; do
    [[ -n ${busy[$mm]-} ]] || continue
    d=${sysdir[$mm]}
    used_here "$d" && continue
    [[ -e $d/partition ]] && used_here "$(dirname "$d")" 0 && continue
    held+=("$mm")
  done
  ((${#held[@]})) || return 0
  die "$target está em uso: $(who_holds "${held[@]}"); nada foi escrito"
}

# used_here SYSFS_DIR [DEPTH]: the device, or (unless DEPTH is 0) a
# partition of it or a device built on it, is mounted here or a swap area.
used_here() {
  local d=$1 depth=${2-8} p
  [[ -n ${here[$(cat "$d/dev" 2>/dev/null)]-} ]] && return 0
  ((depth > 0)) || return 1
  for p in "$d"/*/partition "$d"/holders/*; do
    [[ -e $p ]] || continue
    [[ $p == */partition ]] && p=${p%/partition}
    used_here "$(readlink -f "$p")" $((depth - 1)) && return 0
  done
  return 1
}

# The program a process runs (its comm is cut at 15 characters).
proc_name() {
  local exe
  exe=$(readlink "/proc/$1/exe" 2>/dev/null) && [[ -n $exe ]] || exe=$(cat "/proc/$1/comm" 2>/dev/null)
  exe=${exe% (deleted)}
  printf '%s' "${exe##*/}"
}

# who_holds MAJ:MIN...: the first of these devices (of refuse_busy_target)
# whose holder can be seen, and who it is: a mount in another mount
# namespace, a process that has it open, a device built on it.
who_holds() {
  local -A want=() done_ns=()
  local ns ownns f pid mm point src h
  for mm; do want[$mm]=1; done
  ownns=$(readlink /proc/self/ns/mnt)
  for f in /proc/[0-9]*/ns/mnt; do
    pid=${f#/proc/}
    pid=${pid%%/*}
    ns=$(readlink "$f" 2>/dev/null) || continue
    [[ $ns != "$ownns" && -z ${done_ns[$ns]-} ]] || continue
    done_ns[$ns]=1
    while read -r mm point src; do
      if [[ -n ${want[$mm]-} ]]; then
        printf '%s está montado em %s em outro namespace de montagem (processo %s, %s)' \
          "${node[$mm]}" "$(printf '%b' "$point")" "$pid" "$(proc_name "$pid")"
        return
      fi
    done < <(mounts_in "/proc/$pid/mountinfo")
  done
  for f in /proc/[0-9]*/fd/*; do
    # (Only what is named in /dev is looked at: a file on a FUSE mount
    # whose daemon is stopped would hang stat.)
    [[ $(readlink "$f" 2>/dev/null) == /dev/* && -b $f ]] || continue
    mm=$(stat -L -c '%Hr:%Lr' "$f" 2>/dev/null) && [[ -n ${want[$mm]-} ]] || continue
    pid=${f#/proc/}
    pid=${pid%%/*}
    [[ $pid != "$lock_pid" ]] || continue
    printf '%s está aberto por %s (processo %s)' "${node[$mm]}" "$(proc_name "$pid")" "$pid"
    return
  done
  for mm; do
    for h in "${sysdir[$mm]}"/holders/*; do
      [[ -e $h ]] && { printf '%s é usado por %s' "${node[$mm]}" "${h##*/}"; return; }
    done
  done
  printf '%s está aberto com exclusividade por outro programa' "${node[$1]}"
}

# An exclusive lock (shared for list) on the target, and on the file under
# it when it is a loop device, held until this process ends (by a helper
# that watches it, so that no child left running, a FUSE daemon, inherits
# it): two kelmo-sticks never work on one stick at once, and udev does not
# probe it while prepare writes. udev's own short shared locks are waited
# for, 5 s at most.
lock_fd='' lock_pid=''

lock_target() {
  local -a files=("$target")
  local f=$target b i line mode=ex
  [[ $cmd == list ]] && mode='sh'
  for ((i = 0; i < 8; i++)); do
    [[ -b $f ]] || break
    b=$(cat "$(readlink -f "$(sys_of "$f")")/loop/backing_file" 2>/dev/null) || break
    [[ -e $b ]] || break
    files+=("$b")
    f=$b
  done
  exec {lock_fd}< <(exec perl -MFcntl=:flock -e '
    $SIG{INT} = $SIG{TERM} = $SIG{HUP} = "IGNORE";
    my ($mode, $pp, @files) = @ARGV;
    exit 1 unless getppid() == $pp;
    for my $f (@files) {
      open(my $h, "<", $f) or do { print "fail $f\n"; exit 1 };
      my $tries = 50;
      until (flock($h, ($mode eq "sh" ? LOCK_SH : LOCK_EX) | LOCK_NB)) {
        if (--$tries <= 0) { print "busy $f\n"; exit 1 }
        select(undef, undef, undef, 0.1);
      }
      push @held, $h;
    }
    print "locked\n";
    close STDOUT;
    select(undef, undef, undef, 0.02) while getppid() == $pp;
  ' "$mode" "$$" "${files[@]}" 2>/dev/null)
  lock_pid=$!
  read -r -u "$lock_fd" line || line=
  case $line in
    locked) ;;
    busy\ *) die "outro kelmo-stick está usando ${line#busy }; espere ele terminar e tente de novo" ;;
    *) die "não consegui travar $target para uso exclusivo" ;;
  esac
}

# Reads the target's partition table: p1_start p1_size p2_start p2_size (in
# 512-byte sectors) and table (dos or gpt).
p1_start=0 p1_size=0 p2_start=0 p2_size=0 table=

read_table() {
  local dump line n=0 start size
  dump=$(sfdisk --dump "$target" 2>/dev/null) || return 1
  table=$(sed -n 's/^label: //p' <<<"$dump")
  while read -r line; do
    [[ $line =~ start=\ *([0-9]+),\ *size=\ *([0-9]+) ]] || continue
    n=$((n + 1))
    start=${BASH_REMATCH[1]} size=${BASH_REMATCH[2]}
    if ((n == 1)); then p1_start=$start p1_size=$size; fi
    if ((n == 2)); then p2_start=$start p2_size=$size; fi
  done < <(grep '^[^ ]* : ' <<<"$dump")
  ((n >= 2))
}

# The mount point of the partition that starts at sector START of the target,
# if some block device holding it is mounted.
partition_mount() {
  local start=$1 sys dev p off
  local -a devs=()
  if [[ $target_kind == disk ]]; then
    sys=$(readlink -f "$(sys_of "$target")")
    for p in "$sys"/*/partition; do
      [[ -e $p ]] || continue
      [[ $(cat "$(dirname "$p")/start") == "$start" ]] && devs+=("/dev/$(basename "$(dirname "$p")")")
    done
  else
    while read -r dev off; do
      [[ -n $dev ]] || continue
      if ((off == start * 512)); then devs+=("$dev"); fi
      if ((off == 0)); then
        sys=$(readlink -f "$(sys_of "$dev")")
        for p in "$sys"/*/partition; do
          [[ -e $p ]] || continue
          [[ $(cat "$(dirname "$p")/start") == "$start" ]] && devs+=("/dev/$(basename "$(dirname "$p")")")
        done
      fi
    done < <(losetup -n -O NAME,OFFSET -j "$target" 2>/dev/null)
  fi
  for dev in "${devs[@]}"; do
    p=$(findmnt -n -o TARGET -S "$dev" 2>/dev/null | head -n 1)
    if [[ -n $p ]]; then printf '%s\n' "$p"; return 0; fi
  done
  return 1
}
