#!/bin/sh
# A page's SaveChart aimed at a FIFO, a device node or a name with a zero
# byte: the page gets the error answer and the node stays as it was.
# Usage: page_file_targets_test.sh QUENZA COMPONENT_LIBRARY
set -eu
quenza=$1
library=$2
work=$(mktemp -d /tmp/qz-page-targets-XXXXXX)
trap 'rm -rf "$work"' EXIT
export QUENZA_REGISTRY="$work/registry.txt"
"$quenza" regsvr "$library" >/dev/null

fail() {
  echo "$1" >&2
  exit 1
}

mkfifo "$work/fifo.jpg"
targets="fifo.jpg"
# A node like /dev/null of our own, where this process may make one.
if mknod "$work/null-device" c 1 3 2>/dev/null; then targets="$targets null-device"; fi

# run_page NAME TYPE PATH-EXPRESSION [STATUS]: runs the page, which must
# exit with STATUS (0: it ran; 3: the render ended in the error answer,
# whose text quenza page then writes to stderr, never to --out). The body
# or error text lands in $work/NAME.out, status and headers in $work/NAME.err.
run_page() {
  want=${4:-3}
  cat >"$work/$1.asp" <<PAGE
<%@ Language="JScript" %><%
var chart = Server.CreateObject("Quenza.QuenzaChart");
chart.Height = 2; chart.Width = 3; chart.ImageType = "$2";
chart.Rows(2); chart.Columns(1); chart.CurrentColumn(1);
chart.CurrentRow(1); chart.SetData(3); chart.CurrentRow(2); chart.SetData(5);
chart.SaveChart($3);
%>
PAGE
  # Bounded: a writer that opened the FIFO would wait for a reader forever.
  rm -f "$work/$1.out"
  status=0
  timeout 60 "$quenza" page "$work/$1.asp" --out "$work/$1.out" 2>"$work/$1.err" || status=$?
  [ "$status" = "$want" ] || fail "quenza page $1 exited $status, not $want: $(cat "$work/$1.err")"
  if [ "$want" = 3 ]; then
    [ ! -e "$work/$1.out" ] || fail "quenza page $1 wrote an error answer to --out"
    sed -n '/the page answered:$/,$p' "$work/$1.err" | sed 1d >"$work/$1.out"
  fi
}

for target in $targets; do
  for type in JPG BMP; do
    run_page "save-$type" "$type" "\"$work/$target\""
    grep -q "Content-Type: text/HTML" "$work/save-$type.err" || fail "$target $type: no error answer"
    if [ "$type" = JPG ]; then
      expected="Application-defined or object-defined error"
    else
      expected="Path/File access error"
    fi
    [ "$(cat "$work/save-$type.out")" = "$expected" ] ||
      fail "$target $type: answered '$(cat "$work/save-$type.out")'"
  done
done
[ -p "$work/fifo.jpg" ] || fail "the FIFO was replaced"
if [ -e "$work/null-device" ] || [ -L "$work/null-device" ]; then
  [ -c "$work/null-device" ] || fail "the device node was replaced"
fi

run_page zero JPG "\"$work/cut.jpg\\u0000.txt\""
[ "$(cat "$work/zero.out")" = "Bad file name or number" ] ||
  fail "zero byte: answered '$(cat "$work/zero.out")'"
[ ! -e "$work/cut.jpg" ] || fail "zero byte: wrote cut.jpg"

# And a plain path still saves, private bits kept on replacement.
printf old >"$work/kept.jpg"
chmod 640 "$work/kept.jpg"
run_page plain JPG "\"$work/kept.jpg\"" 0
[ "$(stat -c %a "$work/kept.jpg")" = 640 ] || fail "kept.jpg lost its bits"
[ "$(head -c 2 "$work/kept.jpg" | od -An -tx1 | tr -d ' ')" = ffd8 ] || fail "kept.jpg is no JPEG"
echo "page file targets: error answers, nodes untouched"
