#!/usr/bin/env bash
# Installs the Debian packages brindle-server needs that are not there yet; does nothing when all are.
#   scripts/install-deps.sh           what building and serving needs
#   scripts/install-deps.sh --test    also what the tests, sanitizer builds, fuzzers and client tests need
#   scripts/install-deps.sh --bench   also what the load script needs (nginx-light, wrk)
set -euo pipefail

packages=(cmake ninja-build g++ libsimdjson-dev libutf8proc-dev)
for option in "$@"; do
  case "$option" in
    --test) packages+=(libgtest-dev libgmock-dev libbenchmark-dev clang libclang-rt-14-dev clang-format-14 nodejs chromium) ;;
    --bench) packages+=(libbenchmark-dev nginx-light wrk linux-perf valgrind) ;;
    *) echo "usage: scripts/install-deps.sh [--test] [--bench]" >&2; exit 2 ;;
  esac
done

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "installing: ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
