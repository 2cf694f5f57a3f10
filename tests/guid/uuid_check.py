#!/usr/bin/env python3
"""Reads one hex-encoded text per line and prints how Python's uuid module
reads it: the canonical lower-case form, or "-" when it rejects the text."""
import sys
import uuid

for line in sys.stdin:
    text = bytes.fromhex(line.strip()).decode("latin-1")
    try:
        print(uuid.UUID(text))
    except ValueError:
        print("-")
