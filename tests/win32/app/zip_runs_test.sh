#!/usr/bin/env bash
# The program as a Windows user gets it: the ZIP unpacked into an empty
# folder, a fresh Wine prefix, a display (Xvfb), the simulator on COM3. It
# starts, polls when told to through its menu, and takes the relay's values:
# the journal has its replies and the event file the relay's state with its
# currents. With ZARIT_SCREENSHOT=FILE.png it leaves a picture of the window.
#   zip_runs_test.sh ZIP VERSION   (ZARIT_RELAY_SIM: the simulator to run)
set -euo pipefail
zip=$(realpath "$1")
version=$2
sim=${ZARIT_RELAY_SIM:?the simulator (build/tools/relay-sim/relay-sim)}
fail() { echo "zip_runs_test: $*" >&2; exit 1; }

tmp=$(mktemp -d)
xvfb_pid="" sim_pid="" program_pid=""
cleanup() {
  WINEPREFIX=$tmp/prefix wineserver -k >/dev/null 2>&1 || true
  for pid in $program_pid $sim_pid $xvfb_pid; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$tmp"
}
trap cleanup EXIT

(cd "$tmp" && cmake -E tar xf "$zip")
program=$tmp/zaritmon-$version/zaritmon.exe
[ -f "$program" ] || fail "no zaritmon-$version/zaritmon.exe in $zip"

# The display first: Wine's desktop process starts with the prefix.
Xvfb -displayfd 3 -screen 0 1280x900x24 -nolisten tcp 3>"$tmp/display" 2>/dev/null &
xvfb_pid=$!
for _ in $(seq 100); do [ -s "$tmp/display" ] && break; sleep 0.1; done
[ -s "$tmp/display" ] || fail "Xvfb did not start"
export DISPLAY=:$(cat "$tmp/display")

export WINEPREFIX=$tmp/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe=d"
mkdir -p "$WINEPREFIX"
wineboot -i >"$tmp/wineboot.log" 2>&1

"$sim" --link "$tmp/line" --speed 9600 --noise 0 --fault-at 3 --fault-current 8.47 </dev/null >"$tmp/sim.log" 2>&1 &
sim_pid=$!
for _ in $(seq 100); do [ -e "$tmp/line" ] && break; sleep 0.1; done
[ -e "$tmp/line" ] || fail "the simulator made no line"
ln -s "$tmp/line" "$WINEPREFIX/dosdevices/com3"

work=$tmp/work
mkdir -p "$work"
printf '[Config]\r\nPORT=COM3\r\nSPEED=9600\r\nREFRESHINTERVAL=500\r\n' >"$work/ZaritMon.ini"
# Wine's DirectWrite leaves line edits blank; Windows itself needs none of this.
(cd "$work" && exec wine "$program" -platform windows:fontengine=freetype >"$tmp/program.log" 2>&1) &
program_pid=$!

window=""
for _ in $(seq 600); do
  window=$(xdotool search --onlyvisible --name "Zarit" 2>/dev/null | head -n 1 || true)
  [ -n "$window" ] && break
  kill -0 "$program_pid" 2>/dev/null || fail "the program ended: $(cat "$tmp/program.log")"
  sleep 0.1
done
[ -n "$window" ] || fail "no window within a minute"

# Настройки › Начать опрос, from the keyboard: Alt to the menu bar, the
# second menu, its second item. Keys sent while the window was still busy
# starting can be lost: once more, from a closed menu, if nothing answers.
answered() {
  journal=$(ls "$work"/journal/ZaritMon-*.log 2>/dev/null | head -n 1 || true)
  # "Ответ: 01 03 5C" in Windows-1251: a whole poll answered.
  [ -n "$journal" ] && grep -q $'\xce\xf2\xe2\xe5\xf2: 01 03 5C' "$journal"
}
for _ in 1 2 3; do
  xdotool windowfocus --sync "$window" 2>/dev/null || true
  xdotool key --delay 200 Escape Escape alt Right Down Down Return
  for _ in $(seq 200); do answered && break; sleep 0.1; done
  answered && break
done
answered || fail "no answered poll in the journal"

# The trip at 3 s: its event, with the fault current as the last trip's.
events=""
for _ in $(seq 300); do
  events=$(ls "$work"/journal/ZaritMon-events-*.csv 2>/dev/null | head -n 1 || true)
  [ -n "$events" ] && grep -q '8[.,]47' "$events" && break
  sleep 0.1
done
[ -n "$events" ] && grep -q '8[.,]47' "$events" || fail "no trip at 8.47 A among the events"

if [ -n "${ZARIT_SCREENSHOT:-}" ]; then
  sleep 1  # the next tick shows the trip
  xwd -id "$window" -silent | xwdtopnm 2>/dev/null | pnmtopng >"$ZARIT_SCREENSHOT"
fi
echo "zip_runs_test: the unpacked program polled the simulator on COM3 and logged its trip"
