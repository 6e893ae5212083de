#!/usr/bin/env bash
# Installs what is missing, builds, and runs the program in a sandbox folder: install, a selection
# hand-off, uninstall. Nothing outside the sandbox is touched.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build

sandbox=$(mktemp -d "${TMPDIR:-/tmp}/ostrel-demo.XXXXXX")
export HOME="$sandbox/home" TMPDIR="$sandbox/tmp" XDG_CONFIG_HOME="$sandbox/config" XDG_RUNTIME_DIR="$sandbox/runtime"
mkdir -p "$HOME" "$TMPDIR" "$XDG_CONFIG_HOME" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"
app="$sandbox/Ostrel PDF Editor"
cp -a build/bin "$app"
echo "Sandbox: $sandbox"

echo "== OstrelContextMenu install"
"$app/OstrelContextMenu" install; echo "exit code $?"
echo "-- registry after install ($XDG_CONFIG_HOME/Ostrel/registry.reg)"
cat "$XDG_CONFIG_HOME/Ostrel/registry.reg"
echo "-- file-association calls"
cat "$XDG_CONFIG_HOME/Ostrel/file-association.log"
echo "== OstrelContextMenu (no arguments)"
"$app/OstrelContextMenu"; echo "exit code $?"
ls -la "$XDG_RUNTIME_DIR"
echo "== Merge on a selection of three files: one copy per file, started together as Explorer does"
for file in "$HOME/Report 2024.pdf" "$HOME/a;b.pdf" "$HOME/Übersicht.pdf"; do
    "$app/OstrelContextMenu" -ftype_merge "$file" &
done
wait
# The editor is started detached; give it a moment to record its start.
for _ in $(seq 50); do [ -s "$XDG_CONFIG_HOME/Ostrel/editor-starts.log" ] && break; sleep 0.1; done
echo "-- editor starts ($XDG_CONFIG_HOME/Ostrel/editor-starts.log, one JSON array of arguments per start)"
cat "$XDG_CONFIG_HOME/Ostrel/editor-starts.log"
echo "== OstrelContextMenu uninstall"
"$app/OstrelContextMenu" uninstall; echo "exit code $?"
echo "-- registry after uninstall"
cat "$XDG_CONFIG_HOME/Ostrel/registry.reg"
