#!/usr/bin/env bash
# Charts per second through nginx (deploy/nginx.conf) in front of two
# quenza serve instances, against one instance asked directly, in the same
# run: wrk on the example site's bench.asp (the bench chart of
# /work/shared/bench/peers, JPEG), the direct run first, then through nginx.
# Each instance gets --threads THREADS (default: half the cores, at least 1),
# so that both set-ups use the same number of apartments in all when
# DIRECT_THREADS is left at twice that.
#
# Usage: bench/scale_out_load.sh [BUILD_DIR]   (env: DURATION=20s CONNECTIONS=16
#        WRK_THREADS=2 THREADS=<per instance> DIRECT_THREADS=<direct instance>)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
duration=${DURATION:-20s}
connections=${CONNECTIONS:-16}
wrk_threads=${WRK_THREADS:-2}
cores=$(nproc)
threads=${THREADS:-$(( cores / 2 > 0 ? cores / 2 : 1 ))}
direct_threads=${DIRECT_THREADS:-$(( threads * 2 ))}

[ -x "$build/quenza" ] || { echo "no $build/quenza: build first" >&2; exit 2; }
[ -f "$build/Quenza.so" ] || { echo "no $build/Quenza.so: the chart component is not built" >&2; exit 2; }
command -v wrk >/dev/null || { echo "wrk is not installed" >&2; exit 2; }
nginx=$(command -v nginx || echo /usr/sbin/nginx)
[ -x "$nginx" ] || { echo "nginx is not installed" >&2; exit 2; }

work=$(mktemp -d /tmp/quenza-scale-load.XXXXXX)
chmod 755 "$work"
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
export QUENZA_REGISTRY="$work/registry.txt"
"$build/quenza" regsvr "$build/Quenza.so" >/dev/null
cp -r "$root/examples/site" "$work/site"

# Starts an instance on a free port; sets $port.
start() {
  local name=$1 n=$2
  "$build/quenza" serve --root "$work/site" --listen 127.0.0.1:0 --threads "$n" \
    --access-log /dev/null 2>"$work/$name.log" >/dev/null &
  pids+=($!)
  port=
  for _ in $(seq 1 100); do
    port=$(sed -n 's#.*listening on http://127\.0\.0\.1:\([0-9]*\)/.*#\1#p' "$work/$name.log" | head -1)
    [ -n "$port" ] && break
    sleep 0.1
  done
  [ -n "$port" ] || { echo "$name did not start:" >&2; cat "$work/$name.log" >&2; exit 1; }
}
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }

measure() {
  local url=$1
  for _ in $(seq 1 $((cores * 4))); do curl -s -o /dev/null "$url"; done
  wrk -t"$wrk_threads" -c"$connections" -d"$duration" --latency "$url" >"$work/wrk.txt"
  local rate p99 non2xx
  rate=$(awk '/^Requests\/sec:/ {print $2}' "$work/wrk.txt")
  p99=$(awk '$1 == "99%" {print $2}' "$work/wrk.txt")
  non2xx=$(awk '/Non-2xx/ {print $NF}' "$work/wrk.txt")
  echo "charts/s $rate  p99 $p99  non-2xx ${non2xx:-0}"
}

echo "== $cores cores, load average $(cut -d' ' -f1-3 /proc/loadavg) before"
start direct "$direct_threads"; direct=$port
echo "one instance direct ($direct_threads apartments): $(measure "http://127.0.0.1:$direct/bench.asp")"
kill "${pids[0]}"; wait "${pids[0]}" 2>/dev/null || true; pids=()

start a "$threads"; a=$port
start b "$threads"; b=$port
listen=$(free_port)
sed -e "0,/server 127\.0\.0\.1:[0-9]*/s//server 127.0.0.1:$a/" \
    -e "0,/server 127\.0\.0\.1:808[0-9]/s//server 127.0.0.1:$b/" \
    -e "s#^\(\s*\)listen [0-9]*;#\1listen 127.0.0.1:$listen;#" \
    -e "s#^\(\s*\)root [^;]*;#\1root $work/site;#" "$root/deploy/nginx.conf" >"$work/quenza.conf"
cat >"$work/nginx.conf" <<CONF
pid $work/nginx.pid;
error_log $work/nginx-error.log;
worker_processes 1;
events { worker_connections 1024; }
http {
  include /etc/nginx/mime.types;
  access_log off;
  client_body_temp_path $work/body; proxy_temp_path $work/proxy; fastcgi_temp_path $work/fcgi;
  uwsgi_temp_path $work/uwsgi; scgi_temp_path $work/scgi;
  include $work/quenza.conf;
}
CONF
"$nginx" -p "$work" -c "$work/nginx.conf" -g "daemon off;" 2>"$work/nginx.err" >/dev/null &
pids+=($!)
for _ in $(seq 1 100); do curl -s -o /dev/null "http://127.0.0.1:$listen/" && break; sleep 0.1; done
echo "nginx, two instances ($threads apartments each): $(measure "http://127.0.0.1:$listen/bench.asp")"
echo "== load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
