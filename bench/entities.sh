#!/usr/bin/env bash
# HTML entity decoding and encoding in MB/s on an entity-dense text of 1 MB and of 16 MB
# (MB = 2^20 bytes of UTF-8), ours against Python's html.unescape and html.escape on the same
# files, best of 3 runs each. The same figure at both sizes is what linear time looks like.
# Usage, from anywhere: bench/entities.sh [build directory, default build]
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh
build=${1:-build}
build_bench "$build" bench_entities

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The text: words, named and decimal references (some astral, some unknown), stray "&"s and
# raw characters that need encoding, in a fixed pseudo-random order.
python3 - "$work" <<'EOF'
import random, sys
pieces = ["lorem", "ipsum", "dolor", "sit", "amet,", "&amp;", "&lt;", "&gt;", "&quot;",
          "&nbsp;", "&eacute;", "&copy;", "&Agrave;", "&szlig;", "&yuml;", "&#233;",
          "&#8364;", "&#60;", "&#128512;", "&#0065;", "&euro;", "&#x41;", "R&D", "&",
          "caf\u00e9", "\u20ac5", "<b>", "\"q\"", "\U0001F600", "x;y"]
for mb in (1, 16):
    rng = random.Random(20261207)
    size = mb * 1024 * 1024
    out, used = [], 0
    while True:
        piece = rng.choice(pieces) + " "
        n = len(piece.encode("utf-8"))
        if used + n > size:
            break
        out.append(piece)
        used += n
    out.append(" " * (size - used))
    with open(f"{sys.argv[1]}/text-{mb}.txt", "w", encoding="utf-8") as f:
        f.write("".join(out))
EOF

python_figures() {
    python3 - "$1" <<'EOF'
import html, sys, time
data = open(sys.argv[1], "rb").read()
text = data.decode("utf-8")
def best(work):
    times = []
    for _ in range(3):
        start = time.perf_counter()
        work()
        times.append(time.perf_counter() - start)
    return len(data) / (1024 * 1024) / min(times)
print("decode %.1f" % best(lambda: html.unescape(text)))
print("encode %.1f" % best(lambda: html.escape(text)))
EOF
}

figure() { awk -v name="$1" '$1 == name { print $2 }' <<<"$2"; }

echo "HTML entities, MB/s on an entity-dense text (Python: html.unescape / html.escape), best of 3"
echo "| benchmark | ours MB/s | Python MB/s | ratio |"
echo "|---|---:|---:|---:|"
for mb in 1 16; do
    ours=$("$build/bench/bench_entities" "$work/text-$mb.txt" 3 2>/dev/null)
    python=$(python_figures "$work/text-$mb.txt")
    for row in "decode:decode:decodeHtmlEntities" "encode:encode:encodeHtmlEntities numeric" \
               "encode-named:encode:encodeHtmlEntities named"; do
        IFS=: read -r key pykey label <<<"$row"
        a=$(figure "$key" "$ours")
        b=$(figure "$pykey" "$python")
        printf '| %s, %d MB | %s | %s | %s |\n' "$label" "$mb" "$a" "$b" \
            "$(awk -v a="$a" -v b="$b" 'BEGIN { printf "%.1fx", a / b }')"
    done
done
