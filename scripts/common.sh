# Shared by scripts/run, scripts/test and scripts/soak: installs what a fresh
# Debian machine lacks, builds, and prepares a Wine prefix and an X display.
# shellcheck shell=bash

VRLN_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# The script that sourced this file and its arguments, to start it again after an install.
VRLN_SCRIPT=$(cd "$(dirname "$0")" && pwd)/$(basename "$0")
VRLN_ARGS=("$@")
VRLN_LOCALE=en_US.UTF-8
# Wine takes its ANSI code page from the locale: ja_JP gives 932 for the double-byte tests.
VRLN_LOCALES="en_US.UTF-8 ja_JP.UTF-8"

vrln_log() { printf '== %s\n' "$*" >&2; }

# Every command that a script or a test starts and a fresh Debian machine may
# lack, with the package that brings it. Checked before and after the install:
# a tool that is missing must stop the run here, by name, not turn up later as
# a test that fails or skips for a reason of its own. Coreutils, grep, sed and
# bash are in every Debian root. Looked up in sbin too, which a user's PATH lacks.
VRLN_TOOLS=(
  cmake:cmake ctest:cmake make:make g++:g++ clang:clang clang++:clang python3:python3
  i686-w64-mingw32-gcc-posix:g++-mingw-w64-i686-posix i686-w64-mingw32-g++-posix:g++-mingw-w64-i686-posix
  x86_64-w64-mingw32-gcc-posix:g++-mingw-w64-x86-64-posix x86_64-w64-mingw32-g++-posix:g++-mingw-w64-x86-64-posix
  i686-w64-mingw32-windres:binutils-mingw-w64-i686 i686-w64-mingw32-strip:binutils-mingw-w64-i686
  x86_64-w64-mingw32-windres:binutils-mingw-w64-x86-64 x86_64-w64-mingw32-strip:binutils-mingw-w64-x86-64
  wine:wine wineboot:wine wineserver:wine /usr/lib/wine/wine64:wine64
  Xvfb:xvfb xauth:xauth xdpyinfo:x11-utils xdotool:xdotool import:imagemagick convert:imagemagick
  tesseract:tesseract-ocr ip:iproute2 unshare:util-linux awk:mawk pgrep:procps locale-gen:locales
)
# Installed beside the tools' packages: what no command shows.
VRLN_PACKAGES=(wine32:i386 googletest libclang-rt-14-dev tesseract-ocr-eng locales)

vrln_has_locale() {
  locale -a 2>/dev/null | grep -qi "^${1%.UTF-8}\.utf-\?8$"
}

# vrln_missing: what of the above this machine lacks, one "what (package)" a line.
vrln_missing() {
  local entry
  for entry in "${VRLN_TOOLS[@]}"; do
    PATH="$PATH:/usr/sbin:/sbin" command -v "${entry%%:*}" >/dev/null 2>&1 || echo "${entry%%:*} (${entry#*:})"
  done
  [ -f /usr/src/googletest/CMakeLists.txt ] || echo "GoogleTest's sources (googletest)"
  [ -e /usr/lib/wine/i386-windows ] || [ -e /usr/lib/i386-linux-gnu/wine ] || echo "32-bit Wine (wine32:i386)"
  ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1 ||
    echo "libFuzzer (libclang-rt-14-dev)"
  # The desktop test reads the menu and the notices through OCR.
  tesseract --list-langs 2>/dev/null | grep -qx eng || echo "English for tesseract (tesseract-ocr-eng)"
  local loc
  for loc in $VRLN_LOCALES; do
    vrln_has_locale "$loc" || echo "the locale $loc (locales)"
  done
}

# True when something must be installed.
vrln_need_install() {
  [ -n "$(vrln_missing)" ]
}

# vrln_setup_failed WHAT [EXIT_CODE]: says which step of the set-up failed, and fails.
vrln_setup_failed() {
  vrln_log "set-up failed: $1${2:+ (exit code $2)}"
  return 1
}

vrln_install() {
  local missing
  missing=$(vrln_missing)
  [ -n "$missing" ] || return 0
  vrln_log "installing build and test tools; missing: ${missing//$'\n'/, }"
  local sudo=""
  if [ "$(id -u)" -ne 0 ]; then
    command -v sudo >/dev/null 2>&1 || { vrln_setup_failed "installing needs root or sudo"; return; }
    sudo=sudo
  fi
  export DEBIAN_FRONTEND=noninteractive
  $sudo dpkg --add-architecture i386 || { vrln_setup_failed "dpkg --add-architecture i386" $?; return; }
  $sudo apt-get update -qq || { vrln_setup_failed "apt-get update" $?; return; }
  local packages
  mapfile -t packages < <(printf '%s\n' "${VRLN_TOOLS[@]#*:}" "${VRLN_PACKAGES[@]}" | sort -u)
  $sudo apt-get install -y -qq --no-install-recommends "${packages[@]}" >/dev/null ||
    { vrln_setup_failed "apt-get install" $?; return; }
  local loc generate=""
  for loc in $VRLN_LOCALES; do
    vrln_has_locale "$loc" && continue
    $sudo sed -i "s/^# *\(${loc} UTF-8\)/\1/" /etc/locale.gen
    grep -q "^${loc} UTF-8" /etc/locale.gen || echo "${loc} UTF-8" | $sudo tee -a /etc/locale.gen >/dev/null
    generate=1
  done
  if [ -n "$generate" ]; then
    $sudo locale-gen >/dev/null || { vrln_setup_failed "locale-gen" $?; return; }
  fi
  missing=$(vrln_missing)
  [ -z "$missing" ] || { vrln_setup_failed "still missing after the install: ${missing//$'\n'/, }"; return; }
  [ -n "$generate" ] || return 0
  # This shell looked for the locale archive when it started, before
  # locale-gen made it, and glibc looks only once per process: LC_ALL set
  # here would fail with "setlocale: LC_ALL: cannot change locale". A new
  # shell finds the locales, so the script starts again (once).
  if [ -z "${VRLN_RESTARTED:-}" ]; then
    vrln_log "starting again with the new locales"
    VRLN_RESTARTED=1 exec "$BASH" "$VRLN_SCRIPT" "${VRLN_ARGS[@]}"
  fi
}

# vrln_build PRESET [targets...]; at the niceness VRLN_NICE when set.
vrln_build() {
  local preset=$1; shift
  cmake --preset "$preset" -S "$VRLN_ROOT" >/dev/null
  local build=(nice -n "${VRLN_NICE:-0}" cmake --build "$VRLN_ROOT/build/$preset" -j "$(nproc)")
  if [ $# -gt 0 ]; then
    "${build[@]}" --target "$@"
  else
    "${build[@]}"
  fi
}

# Starts Xvfb when there is no display; the server ends with the calling shell.
vrln_display() {
  if [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1; then return 0; fi
  vrln_new_display
}

# vrln_new_display: an Xvfb of its own, on a display number that Xvfb itself
# finds free (so that servers started at the same moment never clash), as
# DISPLAY; its process is VRLN_XVFB_PID.
vrln_new_display() {
  local number i
  number=$(mktemp)
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$number" >/dev/null 2>&1 &
  VRLN_XVFB_PID=$!
  for i in $(seq 1 100); do
    if grep -q '^[0-9][0-9]*$' "$number"; then
      export DISPLAY=":$(cat "$number")"
      rm -f "$number"
      return 0
    fi
    kill -0 "$VRLN_XVFB_PID" 2>/dev/null || break
    sleep 0.1
  done
  rm -f "$number"
  vrln_setup_failed "Xvfb did not start"
}

# vrln_wine_env DIR: this shell's environment for the Wine prefix in DIR.
vrln_wine_env() {
  vrln_wine64_only
  export WINEPREFIX=$1
  export WINEDLLOVERRIDES="mscoree,mshtml="
  export WINEDEBUG=${WINEDEBUG:--all}
  export LC_ALL=$VRLN_LOCALE LANG=$VRLN_LOCALE
  export TZ=${TZ:-UTC}
}

# vrln_wine_template DIR: a new prefix for vrln_wine_prefix to copy, with no
# server left running for it. Copying takes a second, making one twenty.
vrln_wine_template() {
  vrln_wine_env "$1"
  rm -rf "$WINEPREFIX"
  mkdir -p "$(dirname "$WINEPREFIX")"
  vrln_wineboot
}

# vrln_wineboot: makes the prefix WINEPREFIX and waits for the server that
# wineboot started, which ends with its last client. A prefix without a
# registry would let every test fail for a reason that is not its own.
vrln_wineboot() {
  wineboot -i >/dev/null 2>&1 || { vrln_setup_failed "wineboot -i in $WINEPREFIX" $?; return; }
  wineserver -w
  [ -f "$WINEPREFIX/system.reg" ] || vrln_setup_failed "wineboot -i left no registry in $WINEPREFIX"
}

# vrln_wine_prefix DIR [TEMPLATE]: a fresh prefix (a copy of TEMPLATE when
# given) whose processes all share one virtual desktop with a taskbar, so the
# tray icon shows and FindWindowA sees our windows.
vrln_wine_prefix() {
  vrln_wine_env "$1"
  rm -rf "$WINEPREFIX"
  mkdir -p "$(dirname "$WINEPREFIX")"
  if [ -n "${2:-}" ]; then
    cp -a "$2" "$WINEPREFIX" || { vrln_setup_failed "copying the Wine prefix $2 to $WINEPREFIX" $?; return; }
  else
    vrln_wineboot || return
  fi
  # One server for the whole run: every test process joins it instead of
  # starting its own. The new server and the system processes that the next
  # command starts must not hold a test runner's output open.
  wineserver -p </dev/null >/dev/null 2>&1
  wine reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d shell /f </dev/null >/dev/null 2>&1 &&
    wine reg add 'HKCU\Software\Wine\Explorer\Desktops' /v shell /d 640x480 /f </dev/null >/dev/null 2>&1 ||
    vrln_setup_failed "the virtual desktop in the Wine prefix $WINEPREFIX (wine reg add)" $?
}

# True when this machine can run 32-bit programs under Wine. Debian's Wine runs
# them in a 32-bit Linux process, which a kernel without IA32 emulation refuses
# ("Exec format error"); 64-bit programs run there all the same.
vrln_can_run_32bit() {
  [ -x /lib/ld-linux.so.2 ] && /lib/ld-linux.so.2 --version >/dev/null 2>&1
}

# Debian's "wine" command starts the 32-bit loader whenever wine32 is
# installed, and that loader then hands 64-bit programs on to the 64-bit one.
# Where the 32-bit loader cannot run, a small "wine" before it on PATH starts
# the 64-bit loader directly, so the 64-bit build runs all the same.
vrln_wine64_only() {
  vrln_can_run_32bit && return 0
  [ -x /usr/lib/wine/wine64 ] || return 0
  local shim="$VRLN_ROOT/build/wine64-only"
  mkdir -p "$shim"
  local name body
  body=$(printf '#!/bin/sh\nexport WINELOADER=/usr/lib/wine/wine64\nexec /usr/lib/wine/wine64 "$@"')
  for name in wine wine-stable; do
    # The test groups start side by side, each calling this: one that finds the
    # shim in place leaves it alone.
    [ -x "$shim/$name" ] && [ "$(cat "$shim/$name")" = "$body" ] && continue
    # Written aside under this shell's own process id ($$ is the script's in
    # every subshell) and renamed: a shell that runs it meanwhile never reads half a file.
    printf '%s\n' "$body" >"$shim/$name.$BASHPID"
    chmod +x "$shim/$name.$BASHPID"
    mv -f "$shim/$name.$BASHPID" "$shim/$name"
  done
  case ":$PATH:" in *":$shim:"*) ;; *) export PATH="$shim:$PATH" ;; esac
}

vrln_wine_stop() {
  [ -n "${WINEPREFIX:-}" ] && wineserver -k >/dev/null 2>&1
  [ -n "${VRLN_XVFB_PID:-}" ] && kill "$VRLN_XVFB_PID" 2>/dev/null
  return 0
}
