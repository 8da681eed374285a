#!/usr/bin/env python3
"""Logs the aircraft's altitude and true heading as CSV, once a second, until Ctrl-C.

    python3 examples/log_csv.py [--host HOST] [--port PORT] > flight.csv
"""

import argparse
import csv
import datetime
import sys
import time

import zelm


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=zelm.DEFAULT_PORT)
    args = parser.parse_args()

    out = csv.writer(sys.stdout, lineterminator="\n")
    # The units come with the fields: "altitude_ft", "true_heading_deg".
    out.writerow(["time", "altitude_" + zelm.Frame.unit("altitude"),
                  "true_heading_" + zelm.Frame.unit("trueHeading")])
    try:
        with zelm.Client(args.host, args.port) as client:
            while True:
                f = client.frame()
                now = datetime.datetime.now(datetime.timezone.utc)
                out.writerow([now.isoformat(timespec="seconds"), f.altitude, f.trueHeading])
                sys.stdout.flush()
                time.sleep(1.0 - time.monotonic() % 1.0)  # on the next whole second
    except KeyboardInterrupt:
        return 0
    except zelm.ZelmError as e:
        print("log_csv: %s" % e, file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
