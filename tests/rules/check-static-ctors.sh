#!/usr/bin/env bash
# Kernel-side libraries must not need start-up code: nothing runs global
# constructors in a kernel-mode image. Fails when an object file of the given
# static libraries carries a constructor section.
set -euo pipefail
status=0
for lib in "$@"; do
  hits=$(objdump -h "$lib" 2>/dev/null | awk '/^[^ ].*file format/ {obj=$1} /\.init_array|\.ctors/ {print obj}' | sort -u)
  if [ -n "$hits" ]; then
    echo "static constructors in $lib:"; echo "$hits"; status=1
  fi
done
exit $status
