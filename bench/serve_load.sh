#!/usr/bin/env bash
# Load benchmark of the page host beside the floor, in one run on one machine.
#
# wrk against the example site's bench.asp, which sends the bench chart
# (576 x 384 clustered bars, JPEG) of /work/shared/bench/peers. Reports
# charts per second, median and p99 latency, errors, and the server's
# resident memory before and after. In the same run:
#  - the floor (the peers' hand-written C++ chart, built in a temporary copy
#    of that folder) times the same chart as a JPEG; the ratio printed is
#    host charts/s / (cores / the floor's ms per chart), the share of the
#    floor's speed that the host reaches on all its cores;
#  - one connection alone: the host's median latency per chart against
#    SendChart's own median from render_road_bench, and beside it the round
#    trip of a small static file on one connection, which every answer on
#    this machine and client pays.
# The floor, the server's temporary charts and render_road_bench all write to
# one folder, TMP_FOLDER (default /dev/shm, a tmpfs as the peers' README has
# it): on a disk-backed /tmp a chart's file costs milliseconds more.
# The load average is printed with the figures: on a busy machine they are
# indicative only and must be repeated on a quiet one.
# The load runs BURSTS bursts back to back (default 3); resident memory must
# stay flat from the first burst on. Then the same chart from the VBScript
# page vbs/bench.asp, in the same server: at least 95% of the charts per
# second of the JavaScript page's last burst.
# Targets: ratio >= 0.75, p99 <= 2 x median, no errors, memory growth <= 10%,
# single-connection median <= 1.3 x SendChart's.
#
# Usage: bench/serve_load.sh [BUILD_DIR]   (env: DURATION=30s CONNECTIONS=16
#        WRK_THREADS=2 BURSTS=3 THREADS=<quenza --threads, default: the number of cores>
#        SINGLE_DURATION=10s PEERS=/work/shared/bench/peers TMP_FOLDER=/dev/shm;
#        FLOOR=0 skips the floor and the single-connection figure)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
duration=${DURATION:-30s}
single_duration=${SINGLE_DURATION:-10s}
connections=${CONNECTIONS:-16}
wrk_threads=${WRK_THREADS:-2}
bursts=${BURSTS:-3}
threads=${THREADS:-$(nproc)}
peers=${PEERS:-/work/shared/bench/peers}
floor=${FLOOR:-1}
tmp_folder=${TMP_FOLDER:-/dev/shm}

[ -x "$build/quenza" ] || { echo "no $build/quenza: build first" >&2; exit 2; }
[ -f "$build/Quenza.so" ] || { echo "no $build/Quenza.so: the chart component is not built" >&2; exit 2; }
command -v wrk >/dev/null || { echo "wrk is not installed" >&2; exit 2; }
if [ "$floor" = 1 ]; then
  [ -f "$peers/floor.cpp" ] || { echo "no floor at $peers (set PEERS, or FLOOR=0)" >&2; exit 2; }
  [ -x "$build/bench/render_road_bench" ] ||
    { echo "no $build/bench/render_road_bench: build it (or FLOOR=0)" >&2; exit 2; }
fi

work=$(mktemp -d /tmp/quenza-load.XXXXXX)
charts=$(mktemp -d "$tmp_folder/quenza-load.XXXXXX")
server_pid=
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null || true
  rm -rf "$work" "$charts"
}
trap cleanup EXIT
export QUENZA_REGISTRY="$work/registry.txt"
"$build/quenza" regsvr "$build/Quenza.so" >/dev/null

floor_ms=
if [ "$floor" = 1 ]; then
  # The peers' folder is read-only to us: build its floor in a copy, the way
  # its build.sh does.
  cp -r "$peers" "$work/peers"
  mkdir -p "$work/peers/build"
  # shellcheck disable=SC2046
  g++ -O2 -std=c++17 -Wall "$work/peers/floor.cpp" -o "$work/peers/build/floor" \
    $(pkg-config --cflags --libs pangocairo cairo libturbojpeg libjpeg libpng zlib)
  "$work/peers/build/floor" loop 20 200 "$charts" >"$work/floor.txt" 2>&1
  floor_ms=$(awk '/^RESULT/ && /variant=jpeg444_tj / { for (i = 1; i <= NF; i++) if ($i ~ /^median_ms=/) { sub("median_ms=", "", $i); print $i } }' "$work/floor.txt")
  [ -n "$floor_ms" ] || { echo "the floor gave no JPEG figure:" >&2; cat "$work/floor.txt" >&2; exit 1; }
fi

TMPDIR="$charts" "$build/quenza" serve --root "$root/examples/site" --listen 127.0.0.1:0 --threads "$threads" 2>"$work/server.log" &
server_pid=$!
port=
for _ in $(seq 1 100); do
  port=$(sed -n 's#.*listening on http://127\.0\.0\.1:\([0-9]*\)/.*#\1#p' "$work/server.log" | head -1)
  [ -n "$port" ] && break
  sleep 0.1
done
[ -n "$port" ] || { echo "the server did not start:" >&2; cat "$work/server.log" >&2; exit 1; }
url="http://127.0.0.1:$port/bench.asp"

# Warm every worker, and check that the page answers a JPEG.
for _ in $(seq 1 $((threads * 4))); do curl -s -o "$work/chart.jpg" -w '%{content_type}\n' "$url" >"$work/type"; done
type=$(cat "$work/type")
[ "$type" = "image/jpg" ] || { echo "bench.asp answered '$type', not image/jpg" >&2; exit 1; }

rss() { awk '/^VmRSS/ {print $2}' "/proc/$server_pid/status"; }
# wrk's latency figures in milliseconds.
ms() { awk -v t="$1" 'BEGIN { v = t + 0; if (t ~ /us$/) v /= 1000; else if (t ~ /ms$/) v += 0; else if (t ~ /s$/) v *= 1000; printf "%.3f", v }'; }

load_before=$(cut -d' ' -f1-3 /proc/loadavg)
rss_warm=$(rss)
rss_before=
burst_errors=0
for burst in $(seq 1 "$bursts"); do
  wrk -t"$wrk_threads" -c"$connections" -d"$duration" --latency "$url" >"$work/wrk.txt"
  rss_after=$(rss)
  [ -n "$rss_before" ] || rss_before=$rss_after
  echo "burst $burst: charts/s $(awk '/^Requests\/sec:/ {print $2}' "$work/wrk.txt")" \
       "p50 $(awk '$1 == "50%" {print $2}' "$work/wrk.txt") p99 $(awk '$1 == "99%" {print $2}' "$work/wrk.txt")" \
       "rss ${rss_after} kB"
  if grep -q -E 'Non-2xx|Socket errors' "$work/wrk.txt"; then burst_errors=1; fi
done
cat "$work/wrk.txt"

single_p50=
static_p50=
sendchart_ms=
if [ "$floor" = 1 ]; then
  wrk -t1 -c1 -d"$single_duration" --latency "$url" >"$work/wrk1.txt"
  single_p50=$(ms "$(awk '$1 == "50%" {print $2}' "$work/wrk1.txt")")
  # What any answer costs this client and machine: a small static file on
  # one connection (no page, no apartment).
  wrk -t1 -c1 -d3s --latency "http://127.0.0.1:$port/logo.bmp" >"$work/wrk-static.txt"
  static_p50=$(ms "$(awk '$1 == "50%" {print $2}' "$work/wrk-static.txt")")
  TMPDIR="$charts" "$build/bench/render_road_bench" --benchmark_filter='BM_SendChart/jpeg$' --benchmark_repetitions=5 \
    --benchmark_report_aggregates_only=true --benchmark_format=csv >"$work/road.csv" 2>/dev/null
  # real_time of the median, in the benchmark's unit (ms).
  sendchart_ms=$(awk -F, '/_median"/ { print $3 }' "$work/road.csv")
  # The two figures compare only if both draw the same chart: the bench's
  # bytes per chart (column 11) must be the page's.
  road_bytes=$(awk -F, '/_median"/ { printf "%d", $11 }' "$work/road.csv")
  page_bytes=$(stat -c %s "$work/chart.jpg")
  [ "$road_bytes" = "$page_bytes" ] ||
    { echo "render_road_bench draws $road_bytes bytes of JPEG, bench.asp $page_bytes: not the same chart" >&2; exit 1; }
fi
load_after=$(cut -d' ' -f1-3 /proc/loadavg)

rate=$(awk '/^Requests\/sec:/ {print $2}' "$work/wrk.txt")
p50=$(awk '$1 == "50%" {print $2}' "$work/wrk.txt")
p99=$(awk '$1 == "99%" {print $2}' "$work/wrk.txt")
non2xx=$(awk '/Non-2xx/ {print $NF}' "$work/wrk.txt")
socket=$(awk '/Socket errors/ {print}' "$work/wrk.txt")
growth=$(awk -v a="$rss_before" -v b="$rss_after" 'BEGIN {printf "%.1f", (b - a) * 100.0 / a}')
p99_ratio=$(awk -v a="$(ms "$p50")" -v b="$(ms "$p99")" 'BEGIN {printf "%.2f", b / a}')
cores=$(nproc)
echo
echo "== quenza serve load: $url, $duration, $connections connections, $wrk_threads wrk threads, $threads workers"
echo "temporary files: $tmp_folder"
echo "load average:    $load_before before, $load_after after ($cores cores; figures on a loaded machine must be repeated on a quiet one)"
echo "charts/s:        $rate"
echo "latency p50:     $p50"
echo "latency p99:     $p99   (${p99_ratio} x the median, target <= 2)"
echo "errors:          non-2xx ${non2xx:-0}; ${socket:-no socket errors}"
echo "resident memory: ${rss_warm} kB warm, ${rss_before} kB after burst 1, ${rss_after} kB after burst $bursts (${growth}%, target <= 10%)"
if [ "$floor" = 1 ]; then
  awk -v rate="$rate" -v f="$floor_ms" -v c="$cores" 'BEGIN {
    cap = c * 1000.0 / f
    printf "floor:           %.3f ms per chart (JPEG q100 4:4:4); %d cores at its speed: %.0f charts/s\n", f, c, cap
    printf "ratio:           %.2f   (host charts/s / floor charts/s on %d cores, target >= 0.75)\n", rate / cap, c }'
  awk -v s="$single_p50" -v r="$sendchart_ms" 'BEGIN {
    printf "one connection:  median %.3f ms per chart; SendChart alone %.3f ms; %.2f x   (target <= 1.3)\n", s, r, s / r }'
  echo "                 a static file's round trip on one connection: $static_p50 ms"
fi

vbs_url="http://127.0.0.1:$port/vbs/bench.asp"
for _ in $(seq 1 $((threads * 4))); do curl -s -o "$work/vbs.jpg" "$vbs_url"; done
cmp -s "$work/chart.jpg" "$work/vbs.jpg" || { echo "vbs/bench.asp draws another chart" >&2; exit 1; }
wrk -t"$wrk_threads" -c"$connections" -d"$duration" --latency "$vbs_url" >"$work/wrk-vbs.txt"
vbs_rate=$(awk '/^Requests\/sec:/ {print $2}' "$work/wrk-vbs.txt")
vbs_non2xx=$(awk '/Non-2xx/ {print $NF}' "$work/wrk-vbs.txt")
vbs_socket=$(awk '/Socket errors/ {print}' "$work/wrk-vbs.txt")
ratio_vbs=$(awk -v a="$vbs_rate" -v b="$rate" 'BEGIN {printf "%.1f", a * 100.0 / b}')
echo "VBScript page:   $vbs_rate charts/s (${ratio_vbs}% of the JavaScript page's last burst, target >= 95%);" \
     "non-2xx ${vbs_non2xx:-0}; ${vbs_socket:-no socket errors}"
[ "$burst_errors" = 0 ] && [ -z "$non2xx" ] && [ -z "$socket" ] && [ -z "$vbs_non2xx" ] && [ -z "$vbs_socket" ]
