#!/usr/bin/env bash
# The status page in a real browser: Debian's Chromium, headless, driven by puppeteer-core
# (installed from the npm registry into the build tree on first use), against zel with the
# null module and the feed simulator. The checks are in browser/page_check.mjs; screenshots of the
# page are left in WORK_DIR.
#
#   page_test.sh EXPORTER ZEL FEEDSIM DBDRV_NULL TABLEDEF NODE_DIR WORK_DIR
set -uo pipefail
EXPORTER=$1 ZEL=$2 FEEDSIM=$3 NULLMOD=$4 TABLEDEF=$5 NODE_DIR=$6 WORK=$7
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$HERE/common.sh"
rm -rf "$WORK" && mkdir -p "$WORK" && cd "$WORK" || exit 1

CHROMIUM=$(command -v chromium || true)
[[ -n $CHROMIUM ]] || { echo "FAIL chromium is missing (Debian package chromium)"; exit 1; }
command -v node >/dev/null && command -v npm >/dev/null || { echo "FAIL node and npm are missing"; exit 1; }
# The driver and everything under it are pinned by browser/package-lock.json (a version that
# still runs on Debian 12's node 18); they are installed again only when the lock changes.
if ! cmp -s "$HERE/browser/package-lock.json" "$NODE_DIR/package-lock.json" ||
    [[ ! -f $NODE_DIR/node_modules/puppeteer-core/package.json ]]; then
    rm -rf "$NODE_DIR" && mkdir -p "$NODE_DIR"
    cp "$HERE/browser/package.json" "$HERE/browser/package-lock.json" "$NODE_DIR/"
    (cd "$NODE_DIR" && npm ci --no-audit --no-fund --loglevel=error) ||
        { echo "FAIL could not install the browser driver (npm ci in $NODE_DIR)"; exit 1; }
fi
# The module is found next to the script that imports it.
cp "$HERE/browser/page_check.mjs" "$NODE_DIR/page_check.mjs"

start_feedsim
write_config
start_zel
start_exporter

mkdir -p "$WORK/chromium-profile"
node "$NODE_DIR/page_check.mjs" "$EXPORTER_URL/" "$ZEL" "$MAP_NAME" "$zel_pid" "$CHROMIUM" \
    "$WORK/chromium-profile" "$WORK/page"
code=$?
wait "$zel_pid" 2>/dev/null; zel_pid=
((code == 0)) || failures=$((failures + 1))
finish
