#!/usr/bin/env bash
# The updater's copy and removal of a staged tree against cp -a and rm -rf of the same tree,
# where its time goes, and its memory; see bench/bench_copy.cpp. Three runs, one after the
# other: 10,000 files of 4 KB in 100 directories and 20 files of 32 MB (needs about 2.1 GB
# free in $TMPDIR, default /tmp), then 100,000 files of 1 KB in 1,000 directories, then the
# first tree again on a journaled ext4 image made for it (a 4 GB sparse file in $TMPDIR,
# mounted through a loop device; as root only, otherwise skipped with the reason). About 12
# minutes in all.
# Usage, from anywhere: bench/copy.sh [build directory, default build]
# QUILL_BENCH_ROUNDS (default 3) sets the rounds; QUILL_BENCH_SMALL=1 small trees;
# QUILL_BENCH_TREES="standard", "many" or "journaled" runs some of the three.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh
build=${1:-build}
build_bench "$build" bench_copy

# The standard tree on a fresh journaled ext4, the file system most installations are on.
# The image is unmounted and removed however the run ends, an interrupt included.
image_dir=""
remove_image() {
    [ -n "$image_dir" ] || return 0
    umount "$image_dir/mnt" 2>/dev/null || true
    rm -rf "$image_dir"
    image_dir=""
}
trap remove_image EXIT
journaled() {
    if [ "$(id -u)" -ne 0 ] || ! command -v mkfs.ext4 >/dev/null || ! command -v losetup >/dev/null; then
        echo "# journaled ext4 image: skipped, making and mounting one needs root, mkfs.ext4 and losetup"
        return 0
    fi
    image_dir=$(mktemp -d "${TMPDIR:-/tmp}/bench_copy_image-XXXXXX")
    mkdir "$image_dir/mnt"
    truncate -s 4G "$image_dir/ext4.img"
    mkfs.ext4 -q -F "$image_dir/ext4.img"
    if ! mount -o loop "$image_dir/ext4.img" "$image_dir/mnt" 2>/dev/null; then
        remove_image
        echo "# journaled ext4 image: skipped, this machine cannot mount a loop device"
        return 0
    fi
    TMPDIR=$image_dir/mnt QUILL_BENCH_JOURNALED=1 QUILL_BENCH_TREE=standard "$build/bench/bench_copy"
    remove_image
}

for tree in ${QUILL_BENCH_TREES:-standard many journaled}; do
    if [ "$tree" = journaled ]; then
        journaled
    else
        QUILL_BENCH_TREE=$tree "$build/bench/bench_copy"
    fi
done
