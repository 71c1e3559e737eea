#!/usr/bin/env bash
# HTML entity decoding and encoding in MB/s on a text dense in references of 1 MB and of
# 16 MB, and on two texts of 2 million words, mostly ASCII: entity-dense, one word in two
# holding a character that is encoded ("<", "&", "e" acute, a no-break space, quotes), and
# ordinary, one word in six. MB = 2^20 bytes of UTF-8. Ours
# against Python's html.unescape and html.escape on the same files, best of 5 runs each. The
# same figure at 1 and 16 MB is what linear time looks like.
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

# Ordinary text: plain words, and in one word of six a character that needs encoding; the
# same words with one of two so marked are the entity-dense text an encoder is judged on.
plain = ("the of and to in is that it for on with as was at by be this from or an are not "
         "have which one you all were can more when there so what about update release "
         "version file folder download install lorem ipsum dolor sit amet, elit. done.").split()
special = ["<", "&", "caf\u00e9", "r\u00e9sum\u00e9", "10\u00a0km", "\"quoted\"", "a<b",
           "Q&A", "\u00e9t\u00e9", "\u00a0", "<tag>", "\"x\""]
for name, one_in in (("ordinary", 6), ("dense", 2)):
    rng = random.Random(20261207)
    words = [rng.choice(special) if rng.randrange(one_in) == 0 else rng.choice(plain)
             for _ in range(2000000)]
    with open(f"{sys.argv[1]}/{name}.txt", "w", encoding="utf-8") as f:
        f.write(" ".join(words))
EOF

python_figures() {
    python3 - "$1" <<'EOF'
import html, sys, time
data = open(sys.argv[1], "rb").read()
text = data.decode("utf-8")
def best(work):
    times = []
    for _ in range(5):
        start = time.perf_counter()
        work()
        times.append(time.perf_counter() - start)
    return len(data) / (1024 * 1024) / min(times)
print("decode %.1f" % best(lambda: html.unescape(text)))
print("encode %.1f" % best(lambda: html.escape(text)))
EOF
}

figure() { awk -v name="$1" '$1 == name { print $2 }' <<<"$2"; }

echo "HTML entities, MB/s on reference-dense, entity-dense and ordinary text ($(python3 --version): html.unescape / html.escape), best of 5"
echo "| benchmark | ours MB/s | Python MB/s | ratio |"
echo "|---|---:|---:|---:|"
for input in text-1:"reference-dense, 1 MB" text-16:"reference-dense, 16 MB" \
             dense:"entity-dense text" ordinary:"ordinary text"; do
    IFS=: read -r file what <<<"$input"
    path="$work/$file.txt"
    ours=$("$build/bench/bench_entities" "$path" 5 2>/dev/null)
    python=$(python_figures "$path")
    if [ "$file" = ordinary ] || [ "$file" = dense ]; then
        what="$what, $(awk -v b="$(stat -c %s "$path")" 'BEGIN { printf "%.1f MB", b / 1048576 }')"
    fi
    what="$what, $(figure encoded "$ours")% of units encoded"
    for row in "decode:decode:decodeHtmlEntities" "encode:encode:encodeHtmlEntities numeric" \
               "encode-named:encode:encodeHtmlEntities named"; do
        IFS=: read -r key pykey label <<<"$row"
        # What the entity-dense texts must reach against Python.
        target=""
        case "$file:$key" in
            dense:decode|text-*:decode) target=" (target >= 15x)" ;;
            dense:encode*) target=" (target >= 3x)" ;;
        esac
        a=$(figure "$key" "$ours")
        b=$(figure "$pykey" "$python")
        printf '| %s, %s%s | %s | %s | %s |\n' "$label" "$what" "$target" "$a" "$b" \
            "$(awk -v a="$a" -v b="$b" 'BEGIN { printf "%.1fx", a / b }')"
    done
done
