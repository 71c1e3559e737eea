#!/usr/bin/env bash
# The updater's install of a staged release against cp -a and rm -rf of the same tree, against
# the floor of the system calls it cannot avoid, its time to launch the main application, and
# its memory; see bench/bench_copy.cpp. Three runs, one after the other: first the headline,
# 10,000 files of 4 KB in 100 directories and 20 files of 32 MB on a journaled ext4 image made
# for it (a sparse file in $TMPDIR of 4 GB + 3 GB a round, mounted through a loop device; as
# root only, otherwise skipped with the reason); then the same tree in $TMPDIR itself (default
# /tmp); then 100,000 files of 1 KB in 1,000 directories there. Needs about 12 GB free in
# $TMPDIR with the default three rounds (each forced-copy round has installations of its own)
# and 0.7 GB in /dev/shm. About 30 minutes in all (31 on 2026-12-10, 2 cores shared with
# another engineer's test suite; the root file system's runs take most of it).
# Usage, from anywhere: bench/copy.sh [build directory, default build]
# QUILL_BENCH_ROUNDS (default 3) sets the rounds; QUILL_BENCH_SMALL=1 small trees;
# QUILL_BENCH_TREES="journaled", "standard" or "many" runs some of the three.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh
build=${1:-build}
build_bench "$build" bench_copy

# The standard tree on a fresh journaled ext4, the file system most installations are on: the
# headline, run first so that its rows come first.
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
    # 4 GB for the trees, 3 GB a round for the forced copies' installations of their own.
    local rounds=${QUILL_BENCH_ROUNDS:-3}
    [[ $rounds =~ ^[1-9][0-9]*$ ]] || rounds=3
    truncate -s "$((4 + 3 * rounds))G" "$image_dir/ext4.img"
    # Inode tables and journal written now: left lazy, the kernel would zero them in the
    # background while the first rounds run.
    mkfs.ext4 -q -F -E lazy_itable_init=0,lazy_journal_init=0 "$image_dir/ext4.img"
    if ! mount -o loop "$image_dir/ext4.img" "$image_dir/mnt" 2>/dev/null; then
        remove_image
        echo "# journaled ext4 image: skipped, this machine cannot mount a loop device"
        return 0
    fi
    TMPDIR=$image_dir/mnt QUILL_BENCH_JOURNALED=1 QUILL_BENCH_TREE=standard "$build/bench/bench_copy"
    remove_image
}

for tree in ${QUILL_BENCH_TREES:-journaled standard many}; do
    if [ "$tree" = journaled ]; then
        journaled
    else
        QUILL_BENCH_TREE=$tree "$build/bench/bench_copy"
    fi
done
