#!/usr/bin/env bash
# Loads a page perchplan wrote (--format html) in Debian's headless Chromium:
# checks that it loads with no console message and no request beyond itself,
# that its drawings are there, and writes a screenshot.
#   tools/html-check.sh PAGE.html SCREENSHOT.png [WIDTH,HEIGHT]
set -euo pipefail
page="$(realpath "$1")"
shot="$(realpath -m "$2")"
size="${3:-1100,900}"
# Only this check needs a browser, so the test run's set-up does not install one.
if ! command -v chromium >/dev/null; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "html-check: chromium is missing and installing it needs root" >&2
        exit 1
    fi
    echo "html-check: installing chromium" >&2
    DEBIAN_FRONTEND=noninteractive apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends chromium >/dev/null
fi
profile="$(mktemp -d)"
trap 'rm -rf "$profile"' EXIT
flags=(--headless --no-sandbox --disable-gpu --disable-quic --no-first-run
       --disable-background-networking --disable-component-update --disable-sync
       --user-data-dir="$profile" --enable-logging=stderr --v=0)
dom="$(chromium "${flags[@]}" --dump-dom "file://$page" 2>"$profile/log")"
# The page's own console messages, and any request it makes for a file or
# address other than itself.
if grep -E 'CONSOLE|Failed to load|net::ERR' "$profile/log" >&2; then
    echo "html-check: $page loads with errors" >&2
    exit 1
fi
drawings="$(grep -o '<svg' <<<"$dom" | wc -l)"
if [ "$drawings" -eq 0 ]; then
    echo "html-check: $page shows no drawing" >&2
    exit 1
fi
if grep -qiE '<script|<link|src=|href=' <<<"$dom"; then
    echo "html-check: $page is not self-contained" >&2
    exit 1
fi
chromium "${flags[@]}" --hide-scrollbars --window-size="$size" --screenshot="$shot" \
    "file://$page" 2>>"$profile/log" >/dev/null
echo "html-check: $page loads without errors, $drawings drawing(s); screenshot $shot"
