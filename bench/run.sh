#!/usr/bin/env bash
# Runs every benchmark script bench/*.sh against one build directory and prints the machine,
# the command and one table of all their rows. Each script measures ours and its alternative
# side by side in the same run; its own notes (lines starting with "#" or free text) follow
# the table. Exits non-zero when a script fails.
# Usage, from anywhere: bench/run.sh [build directory, default build]
set -uo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
command="bench/run.sh $*"

machine() {
    local cpu qt
    cpu=$(lscpu 2>/dev/null | sed -n 's/^Model name:[[:space:]]*//p' | head -1)
    qt=$(pkg-config --modversion Qt6Core 2>/dev/null || echo unknown)
    echo "- command: \`${command% }\` (build directory \`$build\`)"
    echo "- date: $(date -u '+%Y-%m-%d %H:%M UTC')"
    echo "- machine: ${cpu:-unknown CPU}, $(nproc) cores, $(free -g | awk '/^Mem:/ { print $2 }') GB RAM, $(uname -sr)"
    echo "- software: Qt $qt, $(c++ --version | head -1), $(python3 --version 2>&1)"
    echo "- load average at the start: $(cut -d' ' -f1-3 /proc/loadavg)"
}

rows=$(mktemp)
notes=$(mktemp)
trap 'rm -f "$rows" "$notes"' EXIT
failed=()
for script in bench/*.sh; do
    name=$(basename "$script" .sh)
    [ "$name" = run ] && continue
    echo "running $script ..." >&2
    output=$(bash "$script" "$build")
    status=$?
    if [ $status -ne 0 ]; then
        failed+=("$name")
        echo "| $name | failed with exit code $status | | | |" >>"$rows"
        continue
    fi
    # Table rows; a line followed by |---| is a header and is dropped. The rest are notes.
    awk -v area="$name" -v notes="$notes" '
        function flush() { if (pending != "") { sub(/^\|/, "| " area " |", pending); print pending } pending = "" }
        /^\|/ {
            if ($0 ~ /^\|[-:| ]+\|$/) { pending = ""; next }
            flush(); pending = $0; next
        }
        { flush() }
        NF { print "- " area ": " $0 >> notes }
        END { flush() }
    ' <<<"$output" >>"$rows"
done

echo "## Benchmarks"
echo
machine
echo
echo "Ratios as each script gives them: speeds ours over the alternative's (above 1: ours"
echo "faster), except where the row says otherwise."
echo
echo "| script | benchmark | ours | alternative | ratio |"
echo "|---|---|---|---|---|"
cat "$rows"
if [ -s "$notes" ]; then
    echo
    cat "$notes"
fi
if [ ${#failed[@]} -gt 0 ]; then
    echo "benchmark scripts that failed: ${failed[*]}" >&2
    exit 1
fi
