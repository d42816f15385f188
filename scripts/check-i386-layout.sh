#!/usr/bin/env bash
# Checks the i386 layout of the platform records and the calling conventions
# of the routine types by compiling platform/i386_layout_check.cpp with the
# i386 compiler, then makes sure the object needs no constructors at load
# time (a kernel-mode image runs none).
#
# Usage: scripts/check-i386-layout.sh [repository root]
# The compiler is i686-linux-gnu-g++ (Debian package g++-i686-linux-gnu), or
# whatever KV_I386_CXX names.
set -euo pipefail

root="${1:-$(cd "$(dirname "$0")/.." && pwd)}"
cxx="${KV_I386_CXX:-i686-linux-gnu-g++}"
source_file="$root/platform/i386_layout_check.cpp"

if ! command -v "$cxx" >/dev/null 2>&1; then
    echo "check-i386-layout: the i386 compiler '$cxx' is not installed" >&2
    echo "check-i386-layout: install the Debian package g++-i686-linux-gnu, or set KV_I386_CXX" >&2
    exit 2
fi
if [[ ! -f "$source_file" ]]; then
    echo "check-i386-layout: $source_file not found" >&2
    exit 2
fi

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

# The same language and kernel-code flags as the project's own build.
if ! "$cxx" -std=c++20 -Wall -Wextra -Werror -Wno-missing-field-initializers \
        -fno-exceptions -fno-rtti -fno-threadsafe-statics -fno-common \
        -I "$root" -c "$source_file" -o "$work/check.o"; then
    echo "check-i386-layout: FAILED: a platform record or routine type does not match the i386 kernel ABI" >&2
    exit 1
fi

readelf_tool=""
for candidate in i686-linux-gnu-readelf readelf; do
    if command -v "$candidate" >/dev/null 2>&1; then
        readelf_tool="$candidate"
        break
    fi
done
if [[ -n "$readelf_tool" ]]; then
    if "$readelf_tool" -S -W "$work/check.o" | grep -Eq '\.(init_array|ctors)'; then
        echo "check-i386-layout: FAILED: a platform constant needs a constructor at load time" >&2
        exit 1
    fi
else
    echo "check-i386-layout: readelf not found; constructor check skipped" >&2
fi

echo "check-i386-layout: i386 layout, calling conventions and constant initialisation OK"
