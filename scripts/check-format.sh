#!/usr/bin/env bash
# Checks that every C++ source is laid out as .clang-format says, with Debian 12's clang-format (14):
#   scripts/check-format.sh          lists what differs and fails
#   scripts/check-format.sh --fix    formats those files in place
set -euo pipefail
cd "$(dirname "$0")/.."

mapfile -t sources < <(find . \( -path './build*' -o -path './third_party' -o -path '*/node_modules' -o -path './.git' \) \
  -prune -o \( -name '*.cpp' -o -name '*.h' \) -print | sort)
if [ "${1:-}" = "--fix" ]; then
  clang-format-14 -i "${sources[@]}"
else
  clang-format-14 --dry-run --Werror "${sources[@]}"
fi
