#!/usr/bin/env bash
# A real update, start to finish: builds the updater, lays out a small installation with a
# staged release in build/demo/, runs the updater there and shows what it did.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

ensure_packages "${BASE_PACKAGES[@]}"
echo "Building the updater..."
cmake -S . -B build >/dev/null
cmake --build build --target updater -j"$BUILD_JOBS" >/dev/null

demo=$PWD/build/demo
rm -rf "$demo"
mkdir -p "$demo/bin" "$demo/data" "$demo/_update/plugins/codecs" "$demo/_update/data"

# The stand-in main application: says it started and where, and leaves a note behind.
cat > "$demo/Quillmoor.exe" <<'APP'
#!/bin/sh
echo "Quillmoor started; working directory: $(pwd)" > "$(dirname "$0")/quillmoor-started.txt"
APP
chmod +x "$demo/Quillmoor.exe"

echo "version 1.0" > "$demo/data/version.txt"
echo "user settings, left alone" > "$demo/data/settings.ini"
cp build/updater/updater "$demo/bin/updater"

# The staged release: one replaced file, a nested directory, a name with a space.
echo "version 2.0" > "$demo/_update/data/version.txt"
echo "flac codec" > "$demo/_update/plugins/codecs/flac.plugin"
echo "What is new in 2.0" > "$demo/_update/release notes.txt"

show_tree() {
    (cd "$demo" && find . -path ./bin -prune -o -print | sort | sed 's/^/    /')
}

echo
echo "Installation before the update ($demo):"
show_tree

platform=()
[ -n "${DISPLAY:-}" ] || platform=(env QT_QPA_PLATFORM=offscreen)
echo
echo "Running bin/updater (it waits 3 s before it copies)..."
set +e
"${platform[@]}" "$demo/bin/updater" > "$demo.out" 2> "$demo.err"
code=$?
set -e

for _ in $(seq 50); do
    [ -e "$demo/quillmoor-started.txt" ] && break
    sleep 0.1
done

echo "Updater standard output: $(cat "$demo.out")"
echo "Updater exit code: $code"
echo
echo "Installation after the update:"
show_tree
echo
echo "data/version.txt now says: $(cat "$demo/data/version.txt")"
if [ -e "$demo/_update" ]; then echo "_update is still there"; else echo "_update is gone"; fi
if [ -e "$demo/quillmoor-started.txt" ]; then
    echo "Main application ran: $(cat "$demo/quillmoor-started.txt")"
else
    echo "Main application did not run"
    exit 1
fi
