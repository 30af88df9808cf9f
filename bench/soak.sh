#!/usr/bin/env bash
# Soak: zarn-audio for a long time on a private server while outputs come and go, the default
# flaps, tones play and the parent arms, disarms, pings and reads slowly. Prints a row of RSS,
# CPU per audio second, frames and E frames per interval; fails on RSS growth over 1 MiB after the
# warm-up, a malformed frame or a hang (bench/soak.py says how each is judged).
#
#   bench/soak.sh [BUILD_DIR] [SECONDS] [KIND] [options of bench/soak.py]
#
# BUILD_DIR holds the zarn-audio build (default: build); SECONDS defaults to 600 (10 min), an hour
# is `bench/soak.sh build 3600`. KIND: pipewire (default; the product picks its service as on a
# desktop), pipewire-pulse (PipeWire, the product kept on libpulse) or pulseaudio. Run it on a
# normal build: sanitizers keep freed memory on purpose.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$root/build}"
seconds="${2:-600}"
kind="${3:-pipewire}"
label="$kind"
shift $(($# < 3 ? $# : 3))
extra=()
if [[ $kind == pipewire-pulse ]]; then
  kind=pipewire
  extra=(--env PIPEWIRE_REMOTE=zarn-no-pipewire) # no such socket: libpulse it is
fi
zarn=""
for candidate in "$build/src/zarn-audio" "$build/zarn-audio"; do
  [[ -x $candidate ]] && zarn="$(realpath "$candidate")" && break
done
[[ -n $zarn ]] || { echo "soak: no zarn-audio in $build" >&2; exit 1; }

dir="$(mktemp -d "${TMPDIR:-/tmp}/zarn-soak.XXXXXX")"
cleanup() {
  "$root/scripts/sound-server" stop "$dir" || true
  rm -rf "$dir"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
"$root/scripts/sound-server" start "$kind" "$dir" --outputs 1 --owner $$ >/dev/null
echo "$label, $(nproc) cores, load $(cut -d" " -f1 /proc/loadavg), $(date -u +%F)"
/usr/bin/python3 "$root/bench/soak.py" --zarn "$zarn" --server-dir "$dir" \
  --sound-server "$root/scripts/sound-server" --seconds "$seconds" "${extra[@]}" "$@"
