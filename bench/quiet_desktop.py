#!/usr/bin/python3
"""A quiet desktop must never look like a server that stopped answering.

    bench/quiet_desktop.py BUILD_DIR [--seconds 180] [--services pulseaudio,pipewire-pulse,pipewire]

For each service (as in bench/stall.py), on a private server where nothing plays: zarn-audio
armed and read for the span. Prints the E frames it sent (there must be none), the audio heard
and the span.
"""

import argparse
import os
import subprocess
import sys
import tempfile

from stall import SERVER, SERVICES, read_for, start_server


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build")
    parser.add_argument("--seconds", type=float, default=180)
    parser.add_argument("--services", default="pulseaudio,pipewire-pulse,pipewire")
    args = parser.parse_args()
    zarn = os.path.join(args.build, "src", "zarn-audio")
    print(f"{'service':<15} {'span s':>7} {'audio s':>8} {'E frames':>8}")
    failed = False
    for service in args.services.split(","):
        kind, native = SERVICES[service]
        with tempfile.TemporaryDirectory(prefix="zarn-quiet.") as home:
            env = start_server(kind, native, home)
            try:
                child = subprocess.Popen([zarn], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                         env=env)
                audio, errors = [], []
                child.stdin.write(b"A")
                child.stdin.flush()
                read_for(child.stdout.fileno(), args.seconds, bytearray(), audio, errors)
                child.stdin.close()
                child.wait(5)
            finally:
                subprocess.run([SERVER, "stop", home], capture_output=True)
        print(f"{service:<15} {args.seconds:>7.0f} {sum(s for _, s in audio):>8.1f} "
              f"{len(errors):>8}" + "".join(f"  E: {e}" for e in errors), flush=True)
        failed = failed or bool(errors)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
