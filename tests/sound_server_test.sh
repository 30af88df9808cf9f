#!/usr/bin/env bash
# Checks scripts/sound-server against a real server of the given kind: what a client sees, that a
# tone reaches the default output's monitor, and that stop leaves nothing running.
set -uo pipefail

kind="${1:?usage: $0 pulseaudio|pipewire}"
server="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/scripts/sound-server"
work="$(mktemp -d "${TMPDIR:-/tmp}/sound-server-test.XXXXXX")"
a="$work/a" b="$work/b"
failures=0
trap '"$server" stop "$a" >/dev/null 2>&1; "$server" stop "$b" >/dev/null 2>&1; rm -rf "$work"' EXIT

check() { "${@:2}" || { echo "FAIL: $kind: $1" >&2 && failures=$((failures + 1)); }; } # what command...

# Runs a client against DIR's server with only the printed environment.
as_client() { # dir command...
  local vars
  mapfile -t vars < <("$server" env "$1")
  env -i PATH="$PATH" "${vars[@]}" "${@:2}"
}

# The pids recorded for DIR; true when none of them runs any more (a zombie has ended).
pids_of() { for f in "$1"/pids/*; do [[ -f $f ]] && read -r pid _ <"$f" && echo "$pid"; done; }
none_alive() {
  for p in "$@"; do [[ $(awk '{print $3}' "/proc/$p/stat" 2>/dev/null || echo Z) == Z ]] || return 1; done
}

out="$("$server" start "$kind" "$a" --rate 32000 --outputs 2)" || { echo "FAIL: $kind: start" >&2 && exit 1; }
check "PULSE_SERVER line" grep -qx "PULSE_SERVER=unix:$a/pulse/native" <<<"$out"
info="$(as_client "$a" pactl info)"
name='Server Name: pulseaudio'
[[ $kind != pipewire ]] || name='on PipeWire'
check "server kind" grep -q "$name" <<<"$info"
check "zarn_null0 is the default" grep -qx 'Default Sink: zarn_null0' <<<"$info"
outputs="$(as_client "$a" pactl list short sinks | awk -F'\t' '{split($4, s, " "); printf "%s@%s ", $2, s[3]}')"
check "exactly the two outputs, at the asked rate" [ "$outputs" == "zarn_null0@32000Hz zarn_null1@32000Hz " ]

# A tone played without naming an output is on the default output's monitor: one second recorded,
# its second half (the first may hold what the monitor had before) measured as "RMS FREQUENCY".
pid="$("$server" play "$a" 1000 5)" || check "play" false
as_client "$a" timeout 10 parec --latency-msec=20 --device=zarn_null0.monitor --raw \
  --format=float32le --channels=1 --rate=32000 2>/dev/null | head -c 128000 >"$work/rec.raw"
read -r rms freq < <(sox -t raw -e floating-point -b 32 -c 1 -r 32000 "$work/rec.raw" -n trim 0.5 \
  stat 2>&1 | awk '/^RMS +amplitude/ {r=$3} /^Rough +frequency/ {f=$3} END {print r+0, f+0}')
check "tone level and frequency ($rms $freq)" \
  awk -v r="$rms" -v f="$freq" 'BEGIN {exit !(r > 0.2 && r < 0.6 && f > 980 && f < 1020)}'

"$server" start "$kind" "$b" --outputs 0 >/dev/null || check "start without outputs" false
sleep 1 # the session manager must not add a fallback output later either
check "no outputs at all" [ -z "$(as_client "$b" pactl list short sinks)" ]

# Stop ends every process of the server, the tone still playing included, with outputs or not.
mapfile -t pids < <(pids_of "$a"; pids_of "$b")
check "processes were recorded" [ "${#pids[@]}" -ge 3 ]
check "stop" "$server" stop "$a"
check "stop without outputs" "$server" stop "$b"
check "stop ended every process" none_alive "${pids[@]}" "$pid"
check "no socket left" [ ! -e "$a/pulse/native" ]

((failures == 0)) || { echo "$failures check(s) failed" >&2 && exit 1; }
echo "all checks passed"
