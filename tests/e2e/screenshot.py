#!/usr/bin/python3
"""Screenshot of the program's windows; run inside with-display.sh:

    tests/e2e/with-display.sh tests/e2e/screenshot.py build/velmora out.png [--port-dialog] [--full]

--port-dialog opens the port dialog first; --full keeps the whole screen instead of
cropping to the program's windows.
"""

import argparse
import os
import subprocess
import sys

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import velmora_driver as driver  # noqa: E402


def settled_capture(region, attempts=40):
    """Captures until two captures in a row match, so the windows have painted."""
    command = ["import", "-window", "root"]
    if region is not None:
        command += ["-crop", "{2}x{3}+{0}+{1}".format(*region), "+repage"]
    previous = None
    for _ in range(attempts):
        image = subprocess.run([*command, "png:-"], check=True, capture_output=True,
                               timeout=driver.DEFAULT_TIMEOUT).stdout
        if image == previous:
            return image
        previous = image
    return previous


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("program")
    parser.add_argument("output")
    parser.add_argument("--port-dialog", action="store_true")
    parser.add_argument("--full", action="store_true")
    args = parser.parse_args()

    app = driver.launch(args.program)
    try:
        if args.port_dialog:
            app.open_port_dialog()
        image = settled_capture(None if args.full else app.extents())
        with open(args.output, "wb") as f:
            f.write(image)
        if args.port_dialog:
            app.cancel_port_dialog()
        app.close()
    finally:
        app.kill()
    print(args.output)


if __name__ == "__main__":
    main()
