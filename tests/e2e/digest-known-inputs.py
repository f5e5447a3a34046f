#!/usr/bin/env python3
"""`vardex sum` of known inputs against the block digest computed here with
hashlib: empty, one byte, exactly one block, one block and one byte, and
several blocks with a partial last one.

Usage: digest-known-inputs.py [EMULATOR...] VARDEX
"""
import hashlib
import os
import subprocess
import sys
import tempfile

BLOCK = 4 << 20


def reference_digest(data):
    outer = hashlib.sha256()
    for start in range(0, len(data), BLOCK):
        outer.update(hashlib.sha256(data[start:start + BLOCK]).digest())
    return outer.hexdigest()


def main():
    command = sys.argv[1:]
    pattern = bytes(range(251)) * ((3 * BLOCK) // 251 + 1)
    inputs = {
        "empty": b"",
        "one-byte": b"\x5a",
        "one-block": pattern[:BLOCK],
        "block-and-byte": pattern[:BLOCK + 1],
        "blocks-and-part": pattern[:2 * BLOCK + 12345],
    }
    failures = 0
    with tempfile.TemporaryDirectory() as directory:
        for name, data in inputs.items():
            with open(os.path.join(directory, name), "wb") as f:
                f.write(data)
            # A relative name, so that the Windows build under Wine reads the
            # same file.
            run = subprocess.run(command + ["sum", name], cwd=directory, capture_output=True, text=True)
            expected = f"{reference_digest(data)}  {name}"
            got = run.stdout.strip()
            if run.returncode != 0 or got != expected:
                print(f"FAIL {name}: status {run.returncode}, got {got!r}, expected {expected!r} {run.stderr}")
                failures += 1
            else:
                print(f"ok   {name}: {got}")
    if reference_digest(b"") != "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855":
        print("FAIL the empty prefix is not the SHA-256 of nothing")
        failures += 1
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
