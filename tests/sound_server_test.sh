#!/usr/bin/env bash
# Checks scripts/sound-server against a real server of the given kind: a client with only the
# printed environment finds a server of that kind, and stop ends every process it started, a tone
# still playing included, with outputs or without. (Rates, outputs and the tone show in the
# capture tests.)
set -uo pipefail

kind="${1:?usage: $0 pulseaudio|pipewire}"
server="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/scripts/sound-server"
work="$(mktemp -d "${TMPDIR:-/tmp}/sound-server-test.XXXXXX")"
trap '"$server" stop "$work/a" >/dev/null 2>&1; "$server" stop "$work/b" >/dev/null 2>&1; rm -rf "$work"' EXIT
fail() { echo "FAIL: $kind: $1" >&2 && exit 1; }

"$server" start "$kind" "$work/a" --outputs 2 >/dev/null || fail "start"
"$server" start "$kind" "$work/b" --outputs 0 >/dev/null || fail "start without outputs"
mapfile -t vars < <("$server" env "$work/a")
name='Server Name: pulseaudio'
[[ $kind != pipewire ]] || name='on PipeWire'
env -i PATH="$PATH" "${vars[@]}" pactl info | grep -q "$name" || fail "server kind"
pids=("$("$server" play "$work/a" 1000 5)") || fail "play"
for f in "$work"/{a,b}/pids/*; do read -r pid _ <"$f" && pids+=("$pid"); done
((${#pids[@]} >= 4)) || fail "processes were recorded"
"$server" stop "$work/a" && "$server" stop "$work/b" || fail "stop"
for p in "${pids[@]}"; do # a zombie has ended
  [[ $(awk '{print $3}' "/proc/$p/stat" 2>/dev/null || echo Z) == Z ]] || fail "process $p still runs"
done
[ ! -e "$work/a/pulse/native" ] || fail "socket left"
echo "all checks passed"
