#!/usr/bin/env bash
# The main job on the lab's demo network. Installs what is missing and builds first.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/tools/setup.sh"
"$root/tools/build.sh"
"$root/tools/wine.sh" "$root/build/x86_64/src/perchman.exe" /help
