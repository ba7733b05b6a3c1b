#!/usr/bin/env bash
# Load benchmark of the page host: wrk against the example site's bench.asp,
# which sends the bench chart (576 x 384 clustered bars, JPEG) of
# /work/shared/bench/peers. Runs BURSTS bursts back to back and reports, per
# burst, charts per second, median and p99 latency, errors, and the server's
# resident memory after it; memory must stay flat from the first burst on.
# Targets: >= 400 charts/s, p99 < 25 ms, no errors, memory growth <= 10%.
# With FLOOR set to the peers' floor program (build it with
# /work/shared/bench/peers/build.sh), its warm JPEG loop runs first, in the
# same run, as the yardstick for one chart's cost on this machine's state.
# Then the same chart from the VBScript page vbs/bench.asp, in the same
# server: its charts per second at least 95% of the JavaScript page's.
#
# Usage: bench/serve_load.sh [BUILD_DIR]   (env: DURATION=30s CONNECTIONS=16
#        WRK_THREADS=4 BURSTS=3 FLOOR=<floor binary>
#        THREADS=<quenza --threads, default: the number of cores>)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
duration=${DURATION:-30s}
connections=${CONNECTIONS:-16}
wrk_threads=${WRK_THREADS:-4}
threads=${THREADS:-$(nproc)}
bursts=${BURSTS:-3}

[ -x "$build/quenza" ] || { echo "no $build/quenza: build first" >&2; exit 2; }
[ -f "$build/Quenza.so" ] || { echo "no $build/Quenza.so: the chart component is not built" >&2; exit 2; }
command -v wrk >/dev/null || { echo "wrk is not installed" >&2; exit 2; }

work=$(mktemp -d /tmp/quenza-load.XXXXXX)
server_pid=
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
export QUENZA_REGISTRY="$work/registry.txt"
"$build/quenza" regsvr "$build/Quenza.so" >/dev/null

"$build/quenza" serve --root "$root/examples/site" --listen 127.0.0.1:0 --threads "$threads" 2>"$work/server.log" &
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
if [ -n "${FLOOR:-}" ]; then
  mkdir -p "$work/floor"
  echo "== floor (same run): $("$FLOOR" loop 20 200 "$work/floor" | awk '/variant=jpeg444_tj/ {print $6}')" \
       "per chart, JPEG 4:4:4"
fi
echo "== load: $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg) before"
rss_start=$(rss)
failed=0
first_rss=
for burst in $(seq 1 "$bursts"); do
  wrk -t"$wrk_threads" -c"$connections" -d"$duration" --latency "$url" >"$work/wrk.txt"
  rss_now=$(rss)
  [ -n "$first_rss" ] || first_rss=$rss_now
  rate=$(awk '/^Requests\/sec:/ {print $2}' "$work/wrk.txt")
  p50=$(awk '$1 == "50%" {print $2}' "$work/wrk.txt")
  p99=$(awk '$1 == "99%" {print $2}' "$work/wrk.txt")
  non2xx=$(awk '/Non-2xx/ {print $NF}' "$work/wrk.txt")
  socket=$(awk '/Socket errors/ {print}' "$work/wrk.txt")
  echo "burst $burst: charts/s $rate  p50 $p50  p99 $p99  non-2xx ${non2xx:-0}" \
       "${socket:-no socket errors}  rss ${rss_now} kB"
  if [ -n "$non2xx" ] || [ -n "$socket" ]; then failed=1; fi
done
growth=$(awk -v a="$first_rss" -v b="$rss_now" 'BEGIN {printf "%.1f", (b - a) * 100.0 / a}')
echo
echo "== quenza serve load: $url, $bursts x $duration, $connections connections, $threads workers"
echo "charts/s (last): $rate   (target >= 400)"
echo "latency p99:     $p99   (target < 25ms)"
echo "resident memory: ${rss_start} kB warm, ${first_rss} kB after burst 1, ${rss_now} kB after" \
     "burst $bursts (${growth}%, target <= 10%)"
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"

vbs_url="http://127.0.0.1:$port/vbs/bench.asp"
for _ in $(seq 1 $((threads * 4))); do curl -s -o "$work/vbs.jpg" "$vbs_url"; done
cmp -s "$work/chart.jpg" "$work/vbs.jpg" || { echo "vbs/bench.asp draws another chart" >&2; exit 1; }
wrk -t"$wrk_threads" -c"$connections" -d"$duration" --latency "$vbs_url" >"$work/wrk-vbs.txt"
vbs_rate=$(awk '/^Requests\/sec:/ {print $2}' "$work/wrk-vbs.txt")
vbs_p99=$(awk '$1 == "99%" {print $2}' "$work/wrk-vbs.txt")
vbs_non2xx=$(awk '/Non-2xx/ {print $NF}' "$work/wrk-vbs.txt")
vbs_socket=$(awk '/Socket errors/ {print}' "$work/wrk-vbs.txt")
ratio=$(awk -v a="$vbs_rate" -v b="$rate" 'BEGIN {printf "%.1f", a * 100.0 / b}')
echo
echo "== the same chart from VBScript: $vbs_url"
echo "charts/s:        $vbs_rate   (${ratio}% of the JavaScript page's last burst, target >= 95%)"
echo "latency p99:     $vbs_p99"
echo "errors:          non-2xx ${vbs_non2xx:-0}; ${vbs_socket:-no socket errors}"
[ "$failed" = 0 ] && [ -z "$vbs_non2xx" ] && [ -z "$vbs_socket" ]
