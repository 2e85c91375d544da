# Shared by the scripts: tool installation and the two build trees.
# shellcheck shell=bash
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
JOBS="${TAVREL_JOBS:-$(nproc 2>/dev/null || echo 2)}"

NEEDED_PACKAGES=(cmake ninja-build g++ g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev
  wine64 wine xvfb xauth libgtest-dev googletest libbenchmark-dev libssl-dev
  gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-plugins-bad gstreamer1.0-libav
  fonts-nanum python3 python3-cryptography xdotool pulseaudio pulseaudio-utils)

install_missing() {
  local missing=()
  for p in "${NEEDED_PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" != 0 ]; then
    echo "missing packages (run as root to install): ${missing[*]}" >&2
    return 1
  fi
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# A compiler cache, where the machine has one, makes rebuilds of several checkouts cheap.
launcher_flag() { if command -v ccache >/dev/null 2>&1; then echo "-DCMAKE_CXX_COMPILER_LAUNCHER=ccache"; fi; }

werror_flag() { if [ "${CI:-}" = "true" ]; then echo ON; else echo "${TAVREL_WERROR:-ON}"; fi; }

build_native() {
  cmake -S "$ROOT" -B "$ROOT/build/native" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    -DTAVREL_WERROR="$(werror_flag)" $(launcher_flag) >/dev/null
  cmake --build "$ROOT/build/native" -j "$JOBS"
}

build_win() {
  cmake -S "$ROOT" -B "$ROOT/build/win" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64.cmake" -DTAVREL_WERROR="$(werror_flag)" $(launcher_flag) >/dev/null
  cmake --build "$ROOT/build/win" -j "$JOBS"
}

# Debian puts the wine64 launcher in Wine's own library folder.
wine_bin() {
  for w in /usr/lib/wine/wine64 /usr/lib/x86_64-linux-gnu/wine/wine64 "$(command -v wine64 || true)" "$(command -v wine || true)"; do
    [ -n "$w" ] && [ -x "$w" ] && { echo "$w"; return 0; }
  done
  echo "wine not found" >&2
  return 1
}

wineserver_bin() {
  local ws
  for ws in /usr/lib/wine/wineserver64 /usr/lib/wine/wineserver "$(command -v wineserver || true)"; do
    if [ -n "$ws" ] && [ -x "$ws" ]; then echo "$ws"; return 0; fi
  done
  return 1
}

# Ends the Wine processes of $WINEPREFIX (the server lingers a few seconds after the last program).
stop_wineserver() {
  local ws
  if ws="$(wineserver_bin)"; then "$ws" -k >/dev/null 2>&1 || true; fi
}

# Runs a command for at most `limit` seconds with its output going to `file`, and shows that output
# as it grows until the command ends; returns the command's status (124 or 137: out of time). A
# file, never a pipe: a process the command leaves behind (a Wine console host, say) keeps the
# writing end of a pipe open, and whoever reads the pipe waits for it forever.
run_to_file() {
  local file=$1 limit=$2 pid show rc=0
  shift 2
  : >"$file"
  timeout -k 30 "$limit" "$@" </dev/null >"$file" 2>&1 &
  pid=$!
  tail -n +1 -s 0.2 -f --pid="$pid" "$file" | sed -u 's/\r$//' &
  show=$!
  wait "$pid" || rc=$?
  wait "$show" || true
  return $rc
}

# The processes of $WINEPREFIX other than Wine's own (its server, services and desktop), one
# "pid command line" a line: what programs started in the prefix left running.
prefix_leftovers() {
  local p cmd
  for p in /proc/[0-9]*; do
    tr '\0' '\n' 2>/dev/null <"$p/environ" | grep -qxF "WINEPREFIX=$WINEPREFIX" || continue
    cmd="$(tr '\0' ' ' 2>/dev/null <"$p/cmdline" | sed 's/ *$//')"
    case "$cmd" in
      "" | */wineserver* | *'\services.exe' | *'\winedevice.exe' | *'\plugplay.exe' | *'\rpcss.exe' \
        | *'\svchost.exe -k '* | *'\explorer.exe /desktop'*) continue ;;
    esac
    echo "${p#/proc/} $cmd"
  done
  return 0
}

XVFB_PID=""
# XVFB_SCREEN, when set, is the screen's geometry (for example 1280x720x24).
start_xvfb() {
  local d
  for d in $(seq 90 140); do
    [ -e "/tmp/.X11-unix/X$d" ] || [ -e "/tmp/.X$d-lock" ] && continue
    Xvfb ":$d" -screen 0 "${XVFB_SCREEN:-1280x1024x24}" -nolisten tcp >/dev/null 2>&1 &
    XVFB_PID=$!
    local i
    for i in $(seq 1 50); do
      [ -e "/tmp/.X11-unix/X$d" ] && { export DISPLAY=":$d"; return 0; }
      kill -0 "$XVFB_PID" 2>/dev/null || break
      sleep 0.1
    done
    kill "$XVFB_PID" 2>/dev/null || true
    XVFB_PID=""
  done
  echo "could not start Xvfb" >&2
  return 1
}
stop_xvfb() { if [ -n "$XVFB_PID" ]; then kill "$XVFB_PID" 2>/dev/null || true; fi; XVFB_PID=""; }

# A throw-away Wine prefix, booted once. Its fonts map the Windows UI faces to NanumGothic:
# without that, Hangul draws as boxes even with fonts-nanum installed.
new_wineprefix() {
  WINEPREFIX="$(mktemp -d /tmp/tavrel-wine.XXXXXX)"
  export WINEPREFIX WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  "$(wine_bin)" wineboot -i >/dev/null 2>&1 || true
  local face
  {
    printf 'REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\Wine\\Fonts\\Replacements]\r\n'
    for face in "Malgun Gothic" "Tahoma" "MS Shell Dlg" "Segoe UI"; do printf '"%s"="NanumGothic"\r\n' "$face"; done
  } >"$WINEPREFIX/drive_c/fonts.reg"
  "$(wine_bin)" regedit /S 'C:\fonts.reg' >/dev/null 2>&1 || true
  # Wine points the user's Desktop, Documents, Downloads and media folders at the Unix home: what a
  # test or a received file puts there must stay in the throw-away prefix instead.
  local link
  for link in "$WINEPREFIX"/drive_c/users/*/*; do
    if [ -L "$link" ]; then rm -f "$link"; mkdir -p "$link"; fi
  done
  # Waits for the boot's server to exit: a service started while it lingers never runs, and the
  # service manager then answers for it only every other time.
  local ws
  if ws="$(wineserver_bin)"; then "$ws" -w >/dev/null 2>&1 || true; fi
}

# Registers the stand-in codecs (tests/support/codecs, built as build/win/stand_in_codecs.dll) in
# $WINEPREFIX, so that whole program runs there find the codecs that Wine lacks.
register_stand_in_codecs() {
  local dll="$ROOT/build/win/stand_in_codecs.dll"
  "$(wine_bin)" regsvr32 /s "Z:${dll//\//\\}" >/dev/null 2>&1 \
    || { echo "could not register the stand-in codecs ($dll)" >&2; return 1; }
  # As after the boot: tests start services, which need the server gone first.
  local ws
  if ws="$(wineserver_bin)"; then "$ws" -w >/dev/null 2>&1 || true; fi
}

# A sound server for the sound tests: PulseAudio without its default script, with one null sink
# (the only sink), the native protocol on a socket in a temporary folder and no idle exit. Wine
# finds it through PULSE_SERVER; nothing goes into the user's own PulseAudio files.
PULSE_PID=""
PULSE_DIR=""
start_sound_server() {
  PULSE_DIR="$(mktemp -d /tmp/tavrel-pulse.XXXXXX)"
  HOME="$PULSE_DIR" XDG_RUNTIME_DIR="$PULSE_DIR" XDG_CONFIG_HOME="$PULSE_DIR" \
    pulseaudio -n --daemonize=no --exit-idle-time=-1 --use-pid-file=no --disable-shm=yes --log-target=stderr \
    -L "module-null-sink sink_name=tavrel rate=48000 channels=2" \
    -L "module-native-protocol-unix socket=$PULSE_DIR/native auth-anonymous=1" >"$PULSE_DIR/log" 2>&1 &
  PULSE_PID=$!
  export PULSE_SERVER="unix:$PULSE_DIR/native" PULSE_COOKIE="$PULSE_DIR/cookie"
  local i
  for i in $(seq 1 100); do
    pactl info >/dev/null 2>&1 && return 0
    kill -0 "$PULSE_PID" 2>/dev/null || break
    sleep 0.05
  done
  echo "could not start PulseAudio:" >&2
  cat "$PULSE_DIR/log" >&2
  return 1
}

# Records the sink (16-bit little-endian, 48000 Hz, stereo) into build/sink-recording.raw while
# the tests run; TAVREL_SINK_RECORDING names that file to them as a Windows path.
PAREC_PID=""
record_sink() {
  local file="$ROOT/build/sink-recording.raw"
  rm -f "$file"
  parec -d tavrel.monitor --format=s16le --rate=48000 --channels=2 --raw --latency-msec=20 >"$file" 2>/dev/null &
  PAREC_PID=$!
  export TAVREL_SINK_RECORDING="Z:${file//\//\\}"
}

stop_sound_server() {
  if [ -n "$PAREC_PID" ]; then kill "$PAREC_PID" 2>/dev/null || true; wait "$PAREC_PID" 2>/dev/null || true; fi
  if [ -n "$PULSE_PID" ]; then kill "$PULSE_PID" 2>/dev/null || true; wait "$PULSE_PID" 2>/dev/null || true; fi
  if [ -n "$PULSE_DIR" ]; then rm -rf "$PULSE_DIR"; fi
  PAREC_PID="" PULSE_PID="" PULSE_DIR=""
}
