#!/usr/bin/env bash
# Makes the .deb of a build (cpack -G DEB) and checks it without touching this machine's packages:
# its files and control fields, Depends against what the programs really link, an install into a
# throwaway root (dpkg resolving dependencies against a copy of this machine's package database),
# the installed programs running there, and the manual pages readable.
#
#   deb_package_test.sh BUILD_DIR VERSION
set -euo pipefail
build=$1 version=$2
work=$(mktemp -d /tmp/zarn-deb.XXXXXX)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

cpack --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log"; fail "cpack -G DEB failed"; }
deb=$work/out/zarn-audio_${version}_$(dpkg --print-architecture).deb
[[ -f $deb ]] || fail "no $deb; cpack made: $(ls "$work/out")"

files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $NF}' | sort)
expected=$(printf '%s\n' ./usr/bin/zarn-audio ./usr/bin/zarn-audio-record \
  ./usr/share/doc/zarn-audio/LICENSE ./usr/share/man/man1/zarn-audio-record.1 \
  ./usr/share/man/man1/zarn-audio.1 | sort)
[[ $files == "$expected" ]] || fail "package files:"$'\n'"$files"$'\n'"expected:"$'\n'"$expected"

field() { dpkg-deb -f "$deb" "$1"; }
[[ $(field Recommends) == libpulse0 ]] || fail "Recommends: '$(field Recommends)'"
depends=$(field Depends | tr ',' '\n' | sed 's/^ *//; s/ .*//')
grep -qx libpulse0 <<<"$depends" && fail "libpulse0 in Depends: it is loaded only when used"

# Every library the programs link directly comes from a package in Depends.
dpkg-deb -x "$deb" "$work/extracted"
for program in "$work"/extracted/usr/bin/*; do
  for needed in $(objdump -p "$program" | awk '$1 == "NEEDED" {print $2}'); do
    library=$(ldd "$program" | awk -v name="$needed" '$1 == name && $3 ~ /^\// {print $3}')
    [[ -n $library ]] || fail "$(basename "$program"): $needed not found by ldd"
    owner=$(dpkg -S "$(readlink -f "$library")" 2>/dev/null || dpkg -S "$library") ||
      fail "no package owns $library"
    package=${owner%%:*}
    grep -qx "$package" <<<"$depends" ||
      fail "$(basename "$program") links $library of $package, not in Depends: $(field Depends)"
  done
done

# Installed into a throwaway root; dpkg checks Depends against a copy of this machine's database.
root=$work/root admin=$work/admin
mkdir -p "$root" "$admin/updates" "$admin/info"
cp /var/lib/dpkg/status "$admin/status"
touch "$admin/available"
dpkg --admindir="$admin" --instdir="$root" --force-not-root -i "$deb" >"$work/dpkg.log" 2>&1 ||
  { grep -v 'files list file for package' "$work/dpkg.log"; fail "dpkg -i into $root failed"; }
[[ $(dpkg-query --admindir="$admin" -W -f='${Status}' zarn-audio) == "install ok installed" ]] ||
  fail "dpkg does not list zarn-audio as installed"

# No sound server for the installed programs: nothing reaches this machine's own.
isolated=(env -i PATH=/usr/bin:/bin XDG_RUNTIME_DIR="$work" HOME="$work"
  PULSE_SERVER="unix:$work/no-server" PIPEWIRE_REMOTE="$work/no-server")
# The recorder finds the installed helper beside itself, which runs there and, without a server,
# sends the reason the recorder relays.
status=0
"${isolated[@]}" "$root/usr/bin/zarn-audio-record" --seconds 1 "$work/x.wav" 2>"$work/record.err" ||
  status=$?
[[ $status == 1 ]] && grep -q 'start failed' "$work/record.err" ||
  fail "recorder without a server: status $status, $(cat "$work/record.err")"

for page in zarn-audio zarn-audio-record; do
  text=$(MANWIDTH=80 man --warnings -E ascii -l "$root/usr/share/man/man1/$page.1" 2>"$work/man.err")
  [[ ! -s $work/man.err ]] || fail "man $page: $(cat "$work/man.err")"
  # The name line that the NAME section holds, as whatis and apropos read it.
  grep -qE "^ +$page +- " <<<"$text" || fail "man $page: $text"
done
echo "ok: $(basename "$deb"), Depends: $(field Depends)"
