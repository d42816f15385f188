#!/bin/sh
# Turns module-definition files into the host module table's entries:
#   Name@N   -> KV_STDCALL(module, Name, N)
#   @Name@N  -> KV_FASTCALL(module, Name, N)
#   Name     -> KV_CDECL(module, Name)
# Usage: def_table.sh OUT.inc FILE.def...
set -eu
out="$1"; shift
awk '
  /^LIBRARY/ { module = $2; next }
  /^[ \t]*;/ || /^EXPORTS/ || NF == 0 { next }
  {
    name = $1
    if (name ~ /^@/) { split(substr(name, 2), p, "@"); printf "KV_FASTCALL(\"%s\", %s, %s)\n", module, p[1], p[2] }
    else if (name ~ /@[0-9]+$/) { split(name, p, "@"); printf "KV_STDCALL(\"%s\", %s, %s)\n", module, p[1], p[2] }
    else printf "KV_CDECL(\"%s\", %s)\n", module, name
  }
' "$@" > "$out"
