#!/bin/sh
# Exits 0 where this machine runs 32-bit Wine, and so the 32-bit codec's tests.
# Some kernels (sandboxes among them) run no 32-bit x86 program at all.
/usr/lib/wine/wine --version >/dev/null 2>&1
