# shellcheck shell=bash
# SPDX-License-Identifier: MIT
# Initramfs builders of the boot and packaging tests (sourced, never run;
# after tools.sh and images.sh, and fetch_kernel before any call): the test
# kernel's modules, each with its dependencies, copied into an archive's
# tree; the archive of a tree; and the real initramfs tools run against the
# test kernel in a private mount namespace.

[ -z "${_KELMO_LIB_INITRAMFS-}" ] || return 0
_KELMO_LIB_INITRAMFS=1

# Module name as the kernel knows it: dashes become underscores.
mod_name() { local n=${1##*/}; n=${n%%.ko*}; printf '%s' "${n//-/_}"; }

declare -A MOD_PATH=() MOD_BUILTIN=()
index_modules() {
  local f n
  ((${#MOD_PATH[@]} == 0)) || return 0
  # Thousands of modules: no subshell per name.
  while IFS= read -r f; do
    n=${f##*/}
    n=${n%%.ko*}
    MOD_PATH[${n//-/_}]=$f
  done < <(find "$KERNEL_MODULES/kernel" -name '*.ko*')
  while IFS= read -r f; do
    n=${f##*/}
    n=${n%%.ko*}
    MOD_BUILTIN[${n//-/_}]=1
  done <"$KERNEL_MODULES/modules.builtin"
}

# Appends to MOD_FILES the module files NAME needs, dependencies first, each
# once over all calls since MOD_SEEN was last emptied (so the USB group skips
# what the base group loaded). Built-in modules need nothing.
declare -A MOD_SEEN=()
MOD_FILES=()
mod_order() {
  local name
  name=$(mod_name "$1")
  [ -n "${MOD_SEEN[$name]:-}" ] && return 0
  MOD_SEEN[$name]=1
  if [ -n "${MOD_BUILTIN[$name]:-}" ]; then
    log "module $name is built in"
    return 0
  fi
  local path=${MOD_PATH[$name]:-}
  [ -n "$path" ] || die "module $name not found in $KERNEL_MODULES"
  local deps d
  deps=$(modinfo -F depends "$path")
  for d in ${deps//,/ }; do mod_order "$d"; done
  MOD_FILES+=("$path")
}

# Copies a module into DIR uncompressed: busybox insmod reads plain ELF only.
copy_module() {
  local src=$1 dir=$2 base
  base=$(mod_name "$src").ko
  case $src in
    *.ko) cp "$src" "$dir/$base" ;;
    *.ko.xz) xz -dc "$src" >"$dir/$base" ;;
    *.ko.zst) zstd -qdc "$src" >"$dir/$base" ;;
    *.ko.gz) gzip -dc "$src" >"$dir/$base" ;;
    *) die "unknown module format: $src" ;;
  esac
  printf '%s\n' "$base"
}

# module_group ROOT GROUP MODULE...: the MODULEs and what they need (less
# what an earlier group of the same archive has) in ROOT/lib/kelmo/modules,
# and their file names, in loading order, in ROOT/lib/kelmo/GROUP.list.
module_group() {
  local root=$1 group=$2 m f
  shift 2
  index_modules
  mkdir -p "$root/lib/kelmo/modules"
  MOD_FILES=()
  for m in "$@"; do mod_order "$m"; done
  for f in "${MOD_FILES[@]}"; do copy_module "$f" "$root/lib/kelmo/modules"; done >"$root/lib/kelmo/$group.list"
}

# cpio_tree DIR: the newc archive of DIR, owned by root, on stdout.
cpio_tree() {
  (cd "$1" && find . | LC_ALL=C sort | cpio -o -H newc -R 0:0 --quiet)
}

# with_installed ROOT COMMAND...: runs COMMAND in a private mount namespace
# where /usr shows ROOT/usr (files installed there) over the host's /usr, the
# test kernel's modules are in /lib/modules/VERSION and its config in /boot, as
# if both were installed. Writes (depmod's) land in a tmpfs that goes away
# with the namespace; the host is left as it was.
with_installed() {
  local root=$1 ns status=0
  shift
  # Removed here too: a caller in a subshell cannot register it for exit.
  ns=$(mktemp -d /tmp/kelmo-ns.XXXXXX)
  TMP_PATHS+=("$ns")
  unshare -m --propagation private -- /bin/bash -c '
    set -e
    ns=$1 root=$2 kroot=$3
    shift 3
    mount -t tmpfs tmpfs "$ns"
    mkdir "$ns/upper" "$ns/work"
    # The kernel tree has lib/modules/VERSION: as a layer of /usr it lands in
    # /usr/lib/modules, which is /lib/modules here.
    mount -t overlay overlay -o "lowerdir=$root/usr:$kroot:/usr,upperdir=$ns/upper,workdir=$ns/work" /usr
    mount --bind "$kroot/boot" /boot
    exec "$@"' with_installed "$ns" "$root" "$KERNEL_ROOT" "$@" || status=$?
  rmdir "$ns"
  return $status
}

# dracut_with ROOT CONFDIR TMPDIR OPTION... OUT: dracut of ROOT's /usr for the
# test kernel, with modules.dep made first where dracut looks (in the
# namespace only) and no host configuration.
dracut_with() {
  local root=$1 confdir=$2 tmp=$3
  shift 3
  mkdir -p "$confdir"
  with_installed "$root" /bin/sh -c 'depmod "$1" && shift && exec "$@"' sh "$KERNEL_VERSION" \
    dracut --force --no-hostonly --kver "$KERNEL_VERSION" --conf /dev/null --confdir "$confdir" \
    --tmpdir "$tmp" "$@"
}
