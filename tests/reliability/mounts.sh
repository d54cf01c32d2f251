#!/bin/sh
# Mounts (setup) or unmounts (cleanup) the small file systems of the reliability tests:
# DIR/full, a 512 KiB tmpfs, and DIR/readonly, a read-only tmpfs. Each holds a file .mounted when
# it is in place; a test that finds none skips. Without mount rights nothing is mounted.
dir=$2
case $1 in
setup)
  for name in full readonly; do
    mkdir -p "$dir/$name"
    umount "$dir/$name" 2>/dev/null
  done
  if mount -t tmpfs -o size=512k,mode=0777 tmpfs "$dir/full" 2>/dev/null; then
    : >"$dir/full/.mounted"
  else
    echo "no tmpfs mount for the full disk: those tests skip"
  fi
  if mount -t tmpfs -o size=64k,mode=0777 tmpfs "$dir/readonly" 2>/dev/null; then
    : >"$dir/readonly/.mounted"
    mount -o remount,ro "$dir/readonly" || umount "$dir/readonly"
  else
    echo "no tmpfs mount for the read-only folder: those tests skip"
  fi
  ;;
cleanup)
  for name in full readonly; do
    umount "$dir/$name" 2>/dev/null
  done
  ;;
esac
exit 0
