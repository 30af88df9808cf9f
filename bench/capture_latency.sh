#!/usr/bin/env bash
# Capture latency and cost on a private PipeWire server: zarn-audio armed, on its native PipeWire
# service and on its libpulse one, versus parec and pw-record on the same output, in the same
# run. Prints one table and whether our services meet their goals against parec.
#
#   bench/capture_latency.sh [BUILD_DIR] [options of bench/capture_latency.py]
#
# BUILD_DIR holds the zarn-audio build (default: build); without a zarn-audio binary there the
# peers are measured alone. With zarn-audio-record beside zarn-audio, the recorder gets a cost
# row too.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$root/build"
if [[ $# -gt 0 && $1 != -* ]]; then
  build="$1"
  shift
fi
zarn=()
for candidate in "$build/src/zarn-audio" "$build/zarn-audio"; do
  if [[ -x $candidate ]]; then
    zarn=(--zarn "$(realpath "$candidate")")
    # The recorder runs the zarn-audio beside it.
    if [[ -x $(dirname "$candidate")/zarn-audio-record ]]; then
      zarn+=(--record "$(realpath "$(dirname "$candidate")/zarn-audio-record")")
    fi
    break
  fi
done
[[ ${#zarn[@]} -gt 0 ]] || echo "note: no zarn-audio in $build; measuring the peers only" >&2

python=/usr/bin/python3
[[ -x $python ]] || python=python3

dir="$(mktemp -d "${TMPDIR:-/tmp}/zarn-bench.XXXXXX")"
cleanup() {
  "$root/scripts/sound-server" stop "$dir" || true
  rm -rf "$dir"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
"$root/scripts/sound-server" start pipewire "$dir" --rate 48000 --owner $$ >/dev/null

echo "PipeWire $(pipewire --version | sed -n "s/^Linked with libpipewire //p"), $(nproc) cores, load $(cut -d" " -f1 /proc/loadavg), $(date -u +%F)"
"$python" "$root/bench/capture_latency.py" --server-dir "$dir" "${zarn[@]}" "$@"
