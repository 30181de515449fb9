#!/bin/sh
# Passes when the shared library given defines wd_abi and wd_clean and no other
# dynamic symbol.
set -eu
exported=$(nm -D --defined-only "$1" | awk '{ print $3 }' | sort | tr '\n' ' ')
if [ "$exported" != "wd_abi wd_clean " ]; then
  echo "exported: $exported" >&2
  exit 1
fi
