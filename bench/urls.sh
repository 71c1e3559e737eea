#!/usr/bin/env bash
# URL percent decoding in MB/s on an escape-dense text of 1 MB and of 16 MB (MB = 2^20
# bytes), decodeUrl against Python's urllib.parse.unquote on the same files, best of 3 runs
# each. The same figure at both sizes is what linear time looks like.
# unquote joins the bytes of UTF-8 sequences into characters by default, while decodeUrl turns
# each escape into the one character U+0000..U+00FF of its byte; unquote(text,
# encoding='latin-1') does exactly that, so both do the same work. The two results are also
# compared byte for byte, and the script fails if they differ.
# Usage, from anywhere: bench/urls.sh [build directory, default build]
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh
build=${1:-build}
build_bench "$build" bench_urls

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The text: escapes of either case (UTF-8 pairs, "%25" and "%2541" among them), malformed
# and cut escapes, and plain URL characters, in a fixed pseudo-random order. It begins with
# an escape so that the rule "nothing is decoded when a "?" comes first" does not apply.
python3 - "$work" <<'PY'
import random, sys
pieces = ["%41", "%2f", "%2F", "%20", "%C3%A9", "%e2%82%ac", "%25", "%2541", "%3F", "%00",
          "%ff", "%zz", "%4", "%", "%-1", "path/", "clip", "?q=", "&id=5", "#top", "a+b",
          "%7E", "%3d", "media"]
for mb in (1, 16):
    rng = random.Random(20261207)
    size = mb * 1024 * 1024
    out, used = ["%41"], 3
    while True:
        piece = rng.choice(pieces)
        if used + len(piece) > size:
            break
        out.append(piece)
        used += len(piece)
    out.append("x" * (size - used))
    with open(f"{sys.argv[1]}/text-{mb}.txt", "w", encoding="ascii") as f:
        f.write("".join(out))
PY

python_figure() {
    python3 - "$1" "$2" <<'PY'
import sys, time
from urllib.parse import unquote
data = open(sys.argv[1], "rb").read()
text = data.decode("ascii")
times = []
for _ in range(3):
    start = time.perf_counter()
    result = unquote(text, encoding="latin-1")
    times.append(time.perf_counter() - start)
open(sys.argv[2], "wb").write(result.encode("latin-1"))
print("decode %.1f" % (len(data) / (1024 * 1024) / min(times)))
PY
}

figure() { awk -v name="$1" '$1 == name { print $2 }' <<<"$2"; }

echo "URL percent decoding, MB/s on an escape-dense text (Python: urllib.parse.unquote, latin-1), best of 3"
echo "| benchmark | ours MB/s | Python MB/s | ratio |"
echo "|---|---:|---:|---:|"
for mb in 1 16; do
    ours=$("$build/bench/bench_urls" "$work/text-$mb.txt" 3 "$work/ours-$mb.out" 2>/dev/null)
    python=$(python_figure "$work/text-$mb.txt" "$work/python-$mb.out")
    if ! cmp -s "$work/ours-$mb.out" "$work/python-$mb.out"; then
        echo "decodeUrl and unquote disagree on the $mb MB text" >&2
        exit 1
    fi
    a=$(figure decode "$ours")
    b=$(figure decode "$python")
    printf '| decodeUrl, %d MB | %s | %s | %s |\n' "$mb" "$a" "$b" \
        "$(awk -v a="$a" -v b="$b" 'BEGIN { printf "%.1fx", a / b }')"
done
