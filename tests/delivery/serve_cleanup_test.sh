#!/bin/sh
# quenza serve, as it starts, removes what killed renders left in the
# temporary folder (a stale writer's sibling, an old temporary chart) and
# keeps every file of another form. Usage: serve_cleanup_test.sh QUENZA
set -eu
quenza=$1
work=$(mktemp -d /tmp/qz-serve-clean-XXXXXX)
server=
cleanup() {
  if [ -n "$server" ]; then kill "$server" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
mkdir "$work/tmp" "$work/site"

# A process id that has ended: a shell that printed its own id and exited.
gone=$(sh -c 'echo $$')
sibling=$(printf '.qz%010d-%08x.part' "$gone" 7)
printf 'half an image' >"$work/tmp/$sibling"
printf '\377\330\377\340 chart' >"$work/tmp/10203001.tmp"
chmod 600 "$work/tmp/10203001.tmp"
printf 'keep me' >"$work/tmp/10203002.tmp.bak"
printf 'keep me' >"$work/tmp/notes.part"
touch -d '3 hours ago' "$work/tmp/$sibling" "$work/tmp/10203001.tmp" \
  "$work/tmp/10203002.tmp.bak" "$work/tmp/notes.part"

TMPDIR="$work/tmp" "$quenza" serve --root "$work/site" --listen 127.0.0.1:0 --threads 1 \
  >"$work/out.log" 2>&1 &
server=$!

# Bounded wait: the clean-up is the first thing serve does.
tries=0
while [ -e "$work/tmp/$sibling" ] || [ -e "$work/tmp/10203001.tmp" ]; do
  tries=$((tries + 1))
  if [ "$tries" -gt 100 ]; then
    echo "stale files still there after 10 s:" >&2
    ls -la "$work/tmp" >&2
    cat "$work/out.log" >&2
    exit 1
  fi
  sleep 0.1
done
for kept in 10203002.tmp.bak notes.part; do
  if [ ! -e "$work/tmp/$kept" ]; then
    echo "removed a file of another form: $kept" >&2
    exit 1
  fi
done
echo "stale files removed, others kept"
