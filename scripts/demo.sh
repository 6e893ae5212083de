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
echo "== OstrelContextMenu uninstall"
"$app/OstrelContextMenu" uninstall; echo "exit code $?"
echo "-- registry after uninstall"
cat "$XDG_CONFIG_HOME/Ostrel/registry.reg"
