#!/usr/bin/env bash
# Checks scripts/sound-server against the real servers: what a client sees, that tones reach the
# output they were played on, that servers in different directories are separate, and that
# stop, --owner and failed starts leave nothing running.
#
#   tests/sound_server_test.sh [pulseaudio|pipewire|failures ...]   (default: all three)
set -uo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
server="$root/scripts/sound-server"
work="$(mktemp -d "${TMPDIR:-/tmp}/sound-server-test.XXXXXX")"
failures=0

cleanup() {
  local d
  for d in "$work"/*/; do
    [[ -d $d ]] && "$server" stop "$d" >/dev/null 2>&1
  done
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

check() { # description command...
  local what="$1"
  shift
  "$@" || fail "$what"
}

# Runs a client against DIR's server with only the printed environment.
as_client() { # dir command...
  local dir="$1"
  shift
  local -a vars
  mapfile -t vars < <("$server" env "$dir")
  env -i PATH="$PATH" "${vars[@]}" "$@"
}

pids_of() { # dir: the pids recorded for DIR
  local f
  for f in "$1"/pids/*; do
    [[ -f $f ]] && read -r pid _ <"$f" && echo "$pid"
  done
}

none_alive() { # pid...
  local p state
  for p in "$@"; do
    state="$(awk '{print $3}' "/proc/$p/stat" 2>/dev/null)" || continue
    [[ $state == Z ]] || return 1
  done
}

default_is() { as_client "$1" pactl info | grep -qx "Default Sink: $2"; }
has_sink() { as_client "$1" pactl list short sinks | cut -f2 | grep -qx "$2"; }
lacks_sink() { ! has_sink "$@"; }

wait_until() { # seconds command...
  local deadline=$((SECONDS + $1))
  shift
  until "$@"; do
    ((SECONDS < deadline)) || return 1
    sleep 0.1
  done
}

# Records a second of DIR's SOURCE as mono float and prints "RMS FREQUENCY" of its second half
# (the first may hold what the monitor had before the recording began).
measure() { # dir source rate
  local raw="$work/rec.$$.$RANDOM.raw"
  as_client "$1" timeout 10 parec --latency-msec=20 --device="$2" --raw --format=float32le \
    --channels=1 --rate="$3" 2>/dev/null | head -c $(($3 * 4)) >"$raw"
  sox -t raw -e floating-point -b 32 -c 1 -r "$3" "$raw" -n trim 0.5 stat 2>&1 |
    awk '/^RMS +amplitude/ {r=$3} /^Rough +frequency/ {f=$3} END {print r+0, f+0}'
  rm -f "$raw"
}

test_kind() {
  local kind="$1" a="$work/$1-a" b="$work/$1-b"
  echo "== $kind"

  # Start prints what a client needs, and the client reaches this server only.
  local out
  out="$("$server" start "$kind" "$a" --rate 32000 --outputs 2)" || {
    fail "$kind: start"
    return
  }
  check "$kind: PULSE_SERVER line" grep -qx "PULSE_SERVER=unix:$a/pulse/native" <<<"$out"
  check "$kind: XDG_RUNTIME_DIR line" grep -qx "XDG_RUNTIME_DIR=$a" <<<"$out"
  [[ $kind != pipewire ]] || check "$kind: PIPEWIRE_RUNTIME_DIR line" \
    grep -qx "PIPEWIRE_RUNTIME_DIR=$a" <<<"$out"
  check "$kind: start again prints the same" [ "$("$server" start "$kind" "$a")" == "$out" ]
  check "$kind: env prints the same" [ "$("$server" env "$a")" == "$out" ]
  local other=pulseaudio
  [[ $kind == pipewire ]] || other=pipewire
  check "$kind: a running directory refuses another kind" \
    bash -c "! '$server' start $other '$a' >/dev/null 2>&1"

  local info sinks
  info="$(as_client "$a" pactl info)"
  sinks="$(as_client "$a" pactl list short sinks)"
  local name='Server Name: pulseaudio'
  [[ $kind != pipewire ]] || name='on PipeWire'
  check "$kind: server kind" grep -q "$name" <<<"$info"
  check "$kind: zarn_null0 is the default" grep -qx 'Default Sink: zarn_null0' <<<"$info"
  check "$kind: exactly the two outputs" [ "$(cut -f2 <<<"$sinks" | tr '\n' ' ')" == "zarn_null0 zarn_null1 " ]
  check "$kind: outputs run at the asked rate" [ "$(grep -c '32000Hz' <<<"$sinks")" == 2 ]

  # A tone played on zarn_null1 is on that output's monitor and on no other.
  local pid
  pid="$("$server" play "$a" 1000 5 zarn_null1)" || fail "$kind: play"
  check "$kind: play prints a running pid" kill -0 "$pid"
  local on off
  on="$(measure "$a" zarn_null1.monitor 32000)"
  off="$(measure "$a" zarn_null0.monitor 32000)"
  check "$kind: tone level on its output ($on)" awk -v r="${on% *}" 'BEGIN {exit !(r > 0.2 && r < 0.6)}'
  check "$kind: tone frequency ($on)" awk -v f="${on#* }" 'BEGIN {exit !(f > 980 && f < 1020)}'
  check "$kind: silence on the other output ($off)" awk -v r="${off% *}" 'BEGIN {exit !(r < 0.001)}'
  kill "$pid"

  # Default switching and unloading work through the server's own tools.
  check "$kind: set-default-sink" as_client "$a" pactl set-default-sink zarn_null1
  check "$kind: default switched" wait_until 3 default_is "$a" zarn_null1
  pid="$("$server" play "$a" 700 5)" # no output named: the default one
  on="$(measure "$a" zarn_null1.monitor 32000)"
  check "$kind: a tone without output goes to the default ($on)" \
    awk -v f="${on#* }" 'BEGIN {exit !(f > 680 && f < 720)}'
  kill "$pid"
  local module
  module="$(as_client "$a" pactl list short modules | awk -F'\t' '/sink_name=zarn_null1/ {print $1}')"
  check "$kind: unload-module" as_client "$a" pactl unload-module "$module"
  check "$kind: unloaded output gone" wait_until 3 lacks_sink "$a" zarn_null1

  # A second server is separate from the first.
  "$server" start "$kind" "$b" --outputs 0 >/dev/null || fail "$kind: start without outputs"
  check "$kind: no outputs at all" [ -z "$(as_client "$b" pactl list short sinks)" ]
  sleep 1 # the session manager must not add a fallback output later either
  check "$kind: still no outputs" [ -z "$(as_client "$b" pactl list short sinks)" ]
  check "$kind: no sources either" [ -z "$(as_client "$b" pactl list short sources)" ]
  check "$kind: first server unaffected" has_sink "$a" zarn_null0

  # Stop ends everything, including a tone still playing; a second stop is harmless.
  pid="$("$server" play "$a" 440 30)"
  local -a pids
  mapfile -t pids < <(pids_of "$a")
  check "$kind: processes were recorded" [ "${#pids[@]}" -ge 2 ]
  check "$kind: stop" "$server" stop "$a"
  check "$kind: stop ended every process" none_alive "${pids[@]}" "$pid"
  check "$kind: no socket left" [ ! -e "$a/pulse/native" ]
  check "$kind: env fails after stop" bash -c "! '$server' env '$a' 2>/dev/null"
  check "$kind: second stop" "$server" stop "$a"
  check "$kind: other server still answers" as_client "$b" pactl info >/dev/null

  # A server that died is started afresh.
  mapfile -t pids < <(pids_of "$b")
  kill -KILL "${pids[@]}" 2>/dev/null
  wait_until 3 none_alive "${pids[@]}"
  check "$kind: env fails for a dead server" bash -c "! '$server' env '$b' 2>/dev/null"
  check "$kind: restart after a crash" "$server" start "$kind" "$b" >/dev/null
  check "$kind: restarted server answers" as_client "$b" pactl info >/dev/null
  "$server" stop "$b"

  # --owner: the server goes when its owner does.
  sleep 60 &
  local owner=$!
  "$server" start "$kind" "$b" --owner "$owner" >/dev/null || fail "$kind: start with owner"
  mapfile -t pids < <(pids_of "$b")
  kill "$owner"
  wait "$owner" 2>/dev/null
  check "$kind: owner gone, server gone" wait_until 5 none_alive "${pids[@]}"
}

test_failures() {
  echo "== failed starts"
  local fake="$work/fakebin" d="$work/fail"
  mkdir -p "$fake"
  printf '#!/bin/sh\necho "no sound today" >&2\nexit 1\n' >"$fake/pulseaudio"
  cp "$fake/pulseaudio" "$fake/wireplumber"
  chmod +x "$fake"/*
  local err
  err="$(PATH="$fake:$PATH" "$server" start pulseaudio "$d" 2>&1 >/dev/null)" &&
    fail "a server that exits at once must fail the start"
  check "the reason is reported ($err)" grep -q 'cannot start pulseaudio' <<<"$err"
  check "the server's own words are shown" grep -q 'no sound today' <<<"$err"
  check "nothing is left recorded" [ -z "$(pids_of "$d")" ]
  # PipeWire itself starts, its session manager does not: what did start must be stopped.
  err="$(PATH="$fake:$PATH" "$server" start pipewire "$d" 2>&1 >/dev/null)" &&
    fail "a missing session manager must fail the start"
  check "pipewire: the reason is reported" grep -q 'cannot start pipewire' <<<"$err"
  check "pipewire: nothing is left recorded" [ -z "$(pids_of "$d")" ]
  check "pipewire: no socket is left" [ ! -e "$d/pipewire-0" ]
  check "pipewire: no env after a failed start" bash -c "! '$server' env '$d' 2>/dev/null"

  check "unknown kind is refused" bash -c "! '$server' start jack '$d' 2>/dev/null"
  check "a bad rate is refused" bash -c "! '$server' start pulseaudio '$d' --rate fast 2>/dev/null"
  check "an option without value is refused" bash -c "! '$server' start pulseaudio '$d' --outputs 2>/dev/null"
  local long
  long="$work/$(printf 'x%.0s' {1..120})"
  err="$("$server" start pulseaudio "$long" 2>&1)" && fail "a socket path that cannot exist"
  check "too long a directory is explained" grep -q 'too long' <<<"$err"
  check "stop of a directory that never ran" "$server" stop "$work/never"
}

groups=("$@")
[[ ${#groups[@]} -gt 0 ]] || groups=(pulseaudio pipewire failures)
for g in "${groups[@]}"; do
  case "$g" in
  pulseaudio | pipewire) test_kind "$g" ;;
  failures) test_failures ;;
  *) echo "unknown group '$g'" >&2 && exit 2 ;;
  esac
done
if ((failures)); then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "all checks passed"
