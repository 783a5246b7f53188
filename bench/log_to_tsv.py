#!/usr/bin/env python3
"""Turns a W3C log into the tab-separated rows the loader would insert (no hex translation):
the same skipping of directives, empty and short lines, date and time joined by one blank.

Usage: log_to_tsv.py LOG TSV. Prints the number of rows written.
"""
import sys


def main():
    source, target = sys.argv[1], sys.argv[2]
    rows = 0
    with open(source, "rb") as log, open(target, "wb") as out:
        for raw in log:
            line = raw.rstrip(b"\n")
            if line.endswith(b"\r"):
                line = line[:-1]
            if not line or line.startswith(b"#"):
                continue
            fields = line.split(b" ")
            if len(fields) < 10:
                continue
            values = fields[0:2] + [fields[2] + b" " + fields[3]] + fields[4:10]
            # Both bulk loaders would read these bytes specially; generated logs hold none.
            for value in values:
                if any(c in value for c in b'\t\\"\r'):
                    sys.exit("log_to_tsv.py: a value needs quoting: %r" % value)
            out.write(b"\t".join(values) + b"\n")
            rows += 1
    print(rows)


if __name__ == "__main__":
    main()
