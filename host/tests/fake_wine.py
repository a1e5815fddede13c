#!/usr/bin/env python3
"""A stand-in for "wine wine_bridge.exe" that bridge-host runs through --wine: it plays one scripted
run of a bridge per start, so that the host's supervision can be tested on lines and exits that the
real bridge does not produce on demand.

Environment: FAKE_BRIDGE_DIR, where run n writes every line it reads to input-<n> (flushed per line)
and a counter of starts is kept; FAKE_BRIDGE_PLAN, a JSON list with one object per start:
  "print": lines printed (with CR LF) once the host's "context" and four "bind" lines have been
           read, "{epoch}" replaced by the context's epoch;
  "exit": the exit code right after printing, or absent to read on until the end of input and
          exit 0; "hang": true to stay on after the end of input, until killed."""

import json
import os
import sys
import time


def main():
    folder = os.environ["FAKE_BRIDGE_DIR"]
    counter = os.path.join(folder, "starts")
    run = int(open(counter).read()) + 1 if os.path.exists(counter) else 1
    with open(counter, "w") as f:
        f.write(str(run))
    plan = json.loads(os.environ["FAKE_BRIDGE_PLAN"])[run - 1]
    with open(os.path.join(folder, "input-%d" % run), "w") as record:
        epoch, binds = None, 0
        for line in sys.stdin:
            record.write(line)
            record.flush()
            if line.startswith("context "):
                epoch = line.split()[1]
            binds += line.startswith("bind ")
            if epoch is not None and binds == 4:
                binds += 1
                for out in plan.get("print", []):
                    sys.stdout.write(out.replace("{epoch}", epoch) + "\r\n")
                sys.stdout.flush()
                if "exit" in plan:
                    return plan["exit"]
    while plan.get("hang"):
        time.sleep(1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
