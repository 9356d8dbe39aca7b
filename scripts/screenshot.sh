#!/usr/bin/env bash
# Starts a demo application server and the host under Xvfb, opens the DOTZ export
# screen and saves a picture of the whole display.
# Usage: scripts/screenshot.sh [BUILD_DIR] [OUT.png]   (defaults: build, BUILD_DIR/screenshot.png)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
out=${2:-$build/screenshot.png}
bin=$build/bin
for program in krt-appserver krt-backoffice; do
  [ -x "$bin/$program" ] || { echo "screenshot: $bin/$program is not built" >&2; exit 1; }
done

work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# The demo database serves both sides: the server's data and the host's FILIAL.
"$bin/krt-appserver" init-demo --db "$work/demo.db" >/dev/null
port=$((20000 + RANDOM % 20000))
"$bin/krt-appserver" serve --db "$work/demo.db" --port "$port" >"$work/server.log" 2>&1 &
pids+=($!)
for _ in $(seq 50); do
  curl -fs "http://127.0.0.1:$port/rpc/Krt52410.rdmExportaDotz" >/dev/null && break
  sleep 0.2
done

cat >"$work/krt.ini" <<INI
[server]
host = 127.0.0.1
port = $port
[database]
driver = sqlite
name = $work/demo.db
[drives]
C = $work/dotz
INI

# -displayfd picks a free display number and writes it once the server is ready.
Xvfb -displayfd 3 -screen 0 1024x640x24 -dpi 96 -nolisten tcp 3>"$work/display" 2>/dev/null &
pids+=($!)
for _ in $(seq 50); do [ -s "$work/display" ] && break; sleep 0.1; done
export DISPLAY=":$(cat "$work/display")"
export QT_QPA_PLATFORM=xcb

"$bin/krt-backoffice" --config "$work/krt.ini" --open-dotz >"$work/host.log" 2>&1 &
pids+=($!)
sleep "${SCREENSHOT_WAIT:-3}"
import -window root "$out"
echo "screenshot: $out"
