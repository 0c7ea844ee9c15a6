#!/usr/bin/env bash
# The tray as a user meets it: VrlnSchd.exe in the Wine virtual desktop on the
# X display that scripts/test prepared, driven with the mouse through xdotool
# and read back from screenshots (pixels, and text through OCR).
#
# usage: desktop.sh BIN_DIR ARTIFACT_DIR
set -uo pipefail
bin=$1
artifacts=$2
rm -rf "$artifacts"; mkdir -p "$artifacts"
work=$(mktemp -d)
program=""
cleanup() {
  [ -n "$program" ] && kill "$program" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

fail() { echo "FAILED: $*"; shot "failure"; exit 1; }
shot() { import -window root -crop 640x480+0+0 "$artifacts/$1.png" 2>/dev/null; }

# The words on screen now, with their boxes, for word_at.
read_screen() {
  shot ocr
  convert "$artifacts/ocr.png" -resize 300% -colorspace Gray -normalize "$work/big.png"
  tesseract "$work/big.png" - --psm 11 tsv 2>/dev/null >"$work/words.tsv"
}
# Centre "x y" of the first word of the last reading that begins with $1 (an underlined
# mnemonic letter can cost OCR the rest of a short word: "Yes" reads as "Ye").
word_at() {
  awk -F'\t' -v w="$1" 'index($12, w)==1 && $11>30 {printf "%d %d\n", ($7+$9/2)/3, ($8+$10/2)/3; exit}' "$work/words.tsv"
}
find_word() { read_screen; word_at "$1"; }

# The crossed-out icon's red X reaches both upper corners of the square.
icon_crossed() {
  import -window root -crop 16x16+622+463 +repage "$work/icon.png" 2>/dev/null
  convert "$work/icon.png" txt:- 2>/dev/null |
    awk -F'[(),:]' '($1=="0" || $1=="15") && $2==0 && $4>180 && $5<80 && $6<80 {n++} END {print (n==2) ? "yes" : "no"}'
}
icon_colours() {
  import -window root -crop 16x16+622+463 +repage "$work/icon.png" 2>/dev/null
  convert "$work/icon.png" -format %k info: 2>/dev/null
}

open_menu() {
  xdotool mousemove 630 470 mousedown 3
  sleep 0.2
  xdotool mouseup 3
  sleep 0.8
  xdotool mousemove 560 300  # away, so that no tooltip covers the menu
  sleep 0.5
}
click_at() { xdotool mousemove "$1" "$2"; sleep 0.2; xdotool click 1; sleep 0.8; }

# The Run value in either registry view: a 32-bit program writes to the 32-bit one.
run_value() {
  local view
  for view in 32 64; do
    wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Run' /v Plandrel /reg:$view 2>/dev/null |
      grep -q Plandrel && { echo present; return; }
  done
  echo absent
}
state_value() {
  wine reg query 'HKCR\Vorlane\Scheduler' /v State 2>/dev/null | tr -d '\r' | awk '/State/ {print $3}'
}

cp "$bin/VrlnSchd.exe" "$bin/VRLN98.EXE" "$work/"
wine reg delete 'HKCR\Vorlane\Scheduler' /f >/dev/null 2>&1
# What an earlier run kept of its last planned launch: 8 Dec 2026, 03:00, started at 03:02.
wine reg add 'HKCR\Vorlane\Scheduler' /v 'Last launch' /t REG_BINARY \
  /d 0000000084a3e6400bb6600b84a3e64001000000 /f >/dev/null 2>&1 || fail "the last launch could not be stored"

wine "$work/VrlnSchd.exe" &
program=$!
for _ in $(seq 1 100); do
  [ "$(icon_colours)" -gt 3 ] 2>/dev/null && break
  sleep 0.2
done
[ "$(icon_colours)" -gt 3 ] || fail "no icon in the tray"
[ "$(run_value)" = present ] || fail "no autostart value after the start"
[ "$(icon_crossed)" = no ] || fail "the icon is crossed out although launches are active"

# The menu opens on the right button.
open_menu
shot menu
read -r sx sy < <(find_word Suspend) || true
[ -n "${sx:-}" ] || fail "the menu did not open (no Suspend item)"
# Its dots are read or not, as the width of the menu falls.
[ -n "$(find_word Vorlane)" ] || fail "no Load Vorlane... item"
[ -n "$(word_at planned)" ] || fail "no line of the last planned launch, read back at the start"

# Suspend turns the icon into the crossed-out one and reaches the registry.
click_at "$sx" "$sy"
for _ in $(seq 1 25); do [ "$(icon_crossed)" = yes ] && break; sleep 0.2; done
[ "$(icon_crossed)" = yes ] || fail "the icon did not change to the suspended one"
# The scheduler's worker stores it, just after the icon has changed.
for _ in $(seq 1 25); do [ "$(state_value)" = 0x1 ] && break; sleep 0.2; done
[ "$(state_value)" = 0x1 ] || fail "State in the registry is $(state_value), not 0x1"
shot suspended

# Load with the main application's file gone: a notification from the icon says so.
rm -f "$work/VRLN98.EXE"
open_menu
read -r lx ly < <(find_word Vorlane) || fail "no Load Vorlane... item the second time"
click_at "$lx" "$ly"
# Both words from one reading: the notification goes by itself, and a busy machine
# can take seconds for each reading.
for _ in $(seq 1 25); do read_screen; [ -n "$(word_at started)" ] && break; sleep 0.2; done
[ -n "$(word_at started)" ] || fail "no notification that Vorlane was not started"
[ -n "$(word_at found)" ] || fail "the notification does not say that the file was not found"
shot notification
# It goes by itself after some seconds; until then it could cover the menu.
for _ in $(seq 1 60); do [ -z "$(find_word started)" ] && break; sleep 1; done

# Unload, answered No: nothing changes.
open_menu
read -r ux uy < <(find_word Unload) || fail "no Unload item"
click_at "$ux" "$uy"
shot question
read -r yx yy < <(find_word Ye) || fail "no question asked"
[ -n "$(find_word stop)" ] || fail "the question's text is not there"
read -r nx ny < <(find_word No) || true
if [ -z "${nx:-}" ]; then nx=$((yx + 69)); ny=$yy; fi  # OCR can miss the underlined N
# A click that comes before the box takes input is lost: click again while the question stays.
for _ in 1 2 3; do
  click_at "$nx" "$ny"
  [ -z "$(find_word Ye)" ] && break
done
[ -z "$(find_word Ye)" ] || fail "the question stayed open after No"
kill -0 "$program" 2>/dev/null || fail "the program ended although the answer was No"
[ "$(run_value)" = present ] || fail "the autostart value went although the answer was No"

# Unload, answered Yes: entry, icon and process are gone, exit code 0.
open_menu
read -r ux uy < <(find_word Unload) || fail "no Unload item the second time"
click_at "$ux" "$uy"
read -r yx yy < <(find_word Ye) || fail "no question asked the second time"
for _ in 1 2 3; do
  click_at "$yx" "$yy"
  for _ in $(seq 1 25); do kill -0 "$program" 2>/dev/null || break; sleep 0.2; done
  kill -0 "$program" 2>/dev/null || break
  [ -n "$(find_word Ye)" ] || break
done
kill -0 "$program" 2>/dev/null && fail "the program still runs after Yes"
wait "$program"
code=$?
program=""
[ "$code" -eq 0 ] || fail "exit code $code"
[ "$(run_value)" = absent ] || fail "the autostart value is still there"
[ "$(icon_colours)" -le 3 ] || fail "the icon is still in the tray"
shot unloaded
echo "desktop test passed"
