#!/usr/bin/env python3
"""Checks the Authenticode signatures of signed files with osslsigncode: valid
for the publisher's CA, and timestamped, so that each stays valid after its
signing certificate expires.

    check_signatures.py CA-FILE SIGNED-FILE...

Prints one line per file and exits non-zero when any check fails."""
import subprocess
import sys


def check(ca, path):
    result = subprocess.run(
        ["osslsigncode", "verify", "-in", path, "-CAfile", ca, "-TSA-CAfile", ca],
        capture_output=True, text=True)
    output = result.stdout + result.stderr
    problems = []
    if result.returncode != 0 or "Signature verification: ok" not in output:
        problems.append("signature does not verify")
    if "Timestamp time:" not in output:
        problems.append("no timestamp")
    return problems


def main(argv):
    if len(argv) < 3:
        print(__doc__)
        return 2
    ca, files = argv[1], argv[2:]
    status = 0
    for path in files:
        problems = check(ca, path)
        if problems:
            status = 1
            print("failed " + path + ": " + ", ".join(problems))
        else:
            print("passed " + path + ": signed and timestamped")
    return status


if __name__ == "__main__":
    sys.exit(main(sys.argv))
