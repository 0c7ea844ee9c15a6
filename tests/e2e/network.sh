#!/usr/bin/env bash
# A due launch waits for a network: VrlnSchd.exe in a network namespace of its
# own, where only loopback exists until the test adds a veth pair with an
# address and a default route. Xvfb and a fresh Wine prefix start inside the
# namespace, since Wine reads the interfaces in its own device process. Nothing
# is sent anywhere outside the namespace.
#
# usage: network.sh BIN_DIR    (exit code 77: skipped)
set -uo pipefail
skip() { echo "SKIPPED: $*"; exit 77; }
fail() { echo "FAILED: $*"; exit 1; }
# A missing tool is a machine that scripts/test did not set up, not a reason to skip.
PATH=$PATH:/usr/sbin:/sbin
for tool in unshare:util-linux ip:iproute2; do
  command -v "${tool%%:*}" >/dev/null || fail "${tool%%:*} is not installed (package ${tool#*:})"
done
if [ -z "${VRLN_IN_NETNS:-}" ]; then
  unshare -n true 2>/dev/null || skip "no network namespace of our own here (unshare -n is refused)"
  VRLN_IN_NETNS=1 exec unshare -n bash "$0" "$@"
fi
ip link set lo up || fail "loopback did not come up"
ip link add vprobe type veth peer name vprobe1 2>/dev/null || skip "no veth pair can be made here"
ip link del vprobe || fail "the probing veth pair could not be removed"

source "$(dirname "$0")/../../scripts/common.sh"
work=$(mktemp -d)
program=""
cleanup() {
  [ -n "$program" ] && kill "$program" 2>/dev/null
  vrln_wine_stop
  rm -rf "$work"
}
trap cleanup EXIT
unset DISPLAY
vrln_display || fail "no X display"
vrln_wine_prefix "$work/prefix" || fail "no Wine prefix"
cp "$1/VrlnSchd.exe" "$1/VRLN98.EXE" "$work/" || fail "the program and the stand-in could not be copied"
log="$work/VRLN98.EXE.log"  # the stand-in's own log: one line per start
starts() { cat "$log" 2>/dev/null | grep -c .; }
startup_date() {
  wine reg query 'HKCR\Vorlane\Scheduler' /v 'Startup date' 2>/dev/null | tr -d '\r' | awk '/Startup date/ {print $NF}'
}
# The program enters itself in the autostart list (its bits' view) as it starts.
registered() {
  local v
  for v in 32 64; do
    wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Run' /v Plandrel /reg:$v 2>/dev/null |
      grep -q Plandrel && return 0
  done
  return 1
}

# A moment a minute ago, as the main application stores it: due at the first cycle.
wine "$work/VRLN98.EXE" --store --state=0 --in=-60 || fail "the moment could not be stored"
SECONDS=0
wine "$work/VrlnSchd.exe" &
program=$!

for _ in $(seq 1 60); do registered && break; sleep 0.5; done
registered || fail "the program did not start"

# Several cycles with loopback alone: nothing starts, the moment stays stored.
sleep 8
kill -0 "$program" 2>/dev/null || fail "the program ended by itself"
stored=$(startup_date)
case "$stored" in "" | 0000000000000000) fail "the moment was consumed without a network (stored: '$stored')" ;; esac
[ "$(starts)" -eq 0 ] || fail "the main application started without a network"

ip link add v0 type veth peer name v1 && ip link set v0 up && ip link set v1 up &&
  ip addr add 192.0.2.2/24 dev v0 && ip addr add 192.0.2.1/24 dev v1 &&
  ip route add default via 192.0.2.1 dev v0 || fail "the network could not be brought up"

# The launch follows the network, long before the 120 s that would launch anyway.
while [ "$(starts)" -eq 0 ] && [ "$SECONDS" -lt 60 ]; do sleep 0.5; done
[ "$(starts)" -eq 1 ] || fail "no start within 60 s of the program's start with a network"
for _ in $(seq 1 20); do [ "$(startup_date)" = 0000000000000000 ] && break; sleep 0.5; done
[ "$(startup_date)" = 0000000000000000 ] || fail "the moment is still stored after the launch: $(startup_date)"
sleep 3
[ "$(starts)" -eq 1 ] || fail "the main application started $(starts) times"

wine taskkill /im VrlnSchd.exe >/dev/null 2>&1
for _ in $(seq 1 40); do kill -0 "$program" 2>/dev/null || break; sleep 0.5; done
kill -0 "$program" 2>/dev/null && fail "the program still runs after WM_CLOSE"
wait "$program"
code=$?
program=""
[ "$code" -eq 0 ] || fail "the program did not end on WM_CLOSE (exit code $code)"
echo "network test passed"
