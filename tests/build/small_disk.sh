#!/usr/bin/env bash
# Mounts or removes the small disk of the full-disk tests, on the build machine:
#   small_disk.sh mount|unmount DISK_FOLDER WINE_PREFIX DRIVE WINE_RUN [SIZE]
# mount: a tmpfs of SIZE (default 1m) at DISK_FOLDER, which the Wine prefix
# sees as DRIVE (such as s:) through a link in its dosdevices folder. Writing
# more than SIZE onto it fails as on a real full disk. Where mounting is
# refused (no root, no permission in a container) it says so and still
# succeeds: the tests then find no such drive and skip.
# unmount: removes the link and the tmpfs; safe to run when there is neither.
set -euo pipefail

if [[ $# -lt 5 ]]; then
  echo "usage: $0 mount|unmount DISK_FOLDER WINE_PREFIX DRIVE WINE_RUN [SIZE]" >&2
  exit 2
fi
action=$1
disk=$(realpath -m "$2")
prefix=$(realpath -m "$3")
drive=$4
wine_run=$5
size=${6:-1m}
link=$prefix/dosdevices/$drive

remove_disk() {
  # Only our own link goes; the prefix's other drives stay as they are.
  if [[ -L $link && $(readlink "$link") == "$disk" ]]; then
    rm -f "$link"
  fi
  if mountpoint -q "$disk" 2>/dev/null; then
    umount "$disk" 2>/dev/null || umount -l "$disk"
  fi
}

skip() {
  echo "small disk not mounted: $1; the full-disk tests will skip"
  exit 0
}

case $action in
  mount)
    remove_disk  # left over from a run that ended without its cleanup
    mkdir -p "$disk"
    if ! command -v mount >/dev/null || ! command -v mountpoint >/dev/null; then
      skip "no mount command"
    fi
    if ! error=$(mount -t tmpfs -o "size=$size,mode=0777" lbw-small-disk "$disk" 2>&1); then
      error=${error//$'\n'/ }
      skip "mounting a tmpfs was refused (${error:-no reason given})"
    fi
    # The drive must go into a prefix that exists: wine-run makes it on first
    # use, and would remove a half-made one together with a link put there early.
    if ! "$wine_run" "$prefix" cmd /c exit </dev/null >/dev/null 2>&1 || [[ ! -d $prefix/dosdevices ]]; then
      umount "$disk" || true
      skip "the Wine prefix $prefix could not be made"
    fi
    ln -sfn "$disk" "$link"
    echo "small disk: $size tmpfs at $disk, drive $drive in $prefix"
    ;;
  unmount)
    remove_disk
    echo "small disk removed"
    ;;
  *)
    echo "unknown action: $action" >&2
    exit 2
    ;;
esac
