#!/usr/bin/env bash
# Builds the platform backend with a real Swift compiler and runs it end to end, on Linux: the Swift bridge,
# compiled in Swift 6 mode against the FoundationModels stand-in of tests/platform/FoundationModels, linked into
# brindle-server and the tests, which then run. Debian 12 has no Swift, so this happens in a Debian 13 root that
# is made once and kept outside the checkout (BRINDLE_SWIFT_ROOT), then reused. Needs root.
set -euo pipefail
cd "$(dirname "$0")/.."
checkout="$(pwd)"

cache="${BRINDLE_SWIFT_ROOT:-/var/cache/brindle-server/debian13-swift}"
packages=(swiftlang libc6-dev libstdc++-14-dev cmake ninja-build g++ libsimdjson-dev libutf8proc-dev
          libgtest-dev libgmock-dev)
# The root is ready when this file names exactly the packages above; a change of the list makes it anew.
stamp="$cache/.brindle-packages"

fail() { echo "test-platform: $*" >&2; exit 1; }
[ "$(id -u)" -eq 0 ] || fail "needs root (debootstrap, chroot and bind mounts)"

# One run at a time: two would share the root and its mounts. A second run waits for the first.
mkdir -p "$(dirname "$cache")"
exec 9>"$cache.lock"
if ! flock -n 9; then
  echo "test-platform: waiting for the run that holds $cache.lock" >&2
  flock -w 3600 9 || fail "another run held $cache.lock for an hour"
fi

mounts=()
cleanup() {
  local index
  for ((index = ${#mounts[@]} - 1; index >= 0; index--)); do
    umount -l "${mounts[index]}" 2>/dev/null || echo "test-platform: could not unmount ${mounts[index]}" >&2
  done
  mounts=()
}
trap cleanup EXIT
trap 'exit 130' INT TERM

mount_in_root() { # SOURCE TARGET [OPTIONS...]
  local source="$1" target="$2"
  shift 2
  mkdir -p "$target"
  mount "$@" "$source" "$target" || fail "cannot mount $target"
  mounts+=("$target")
}

mount_system() {
  mount_in_root proc "$1/proc" -t proc
  mount_in_root /dev "$1/dev" --bind
  mount_in_root devpts "$1/dev/pts" -t devpts
}

# A run killed outright leaves its mounts: removing a root through them would remove what they show.
unmounted_or_fail() {
  local dir
  for dir in "$@"; do
    ! awk '{print $2}' /proc/mounts | grep -q "^$dir\(/\|$\)" || fail "$dir still has mounts: unmount them first"
  done
}

make_root() {
  local partial="$cache.partial" started=$SECONDS
  echo "== making the Debian 13 root in $cache (once per machine)"
  command -v debootstrap >/dev/null || {
    DEBIAN_FRONTEND=noninteractive apt-get update -qq &&
      DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap >/dev/null
  } || fail "cannot install debootstrap"
  unmounted_or_fail "$partial" "$cache"
  rm -rf "$partial" "$cache"
  debootstrap --variant=minbase trixie "$partial" >"$partial.log" 2>&1 ||
    { tail -20 "$partial.log" >&2; fail "debootstrap failed (log: $partial.log)"; }
  cp /etc/resolv.conf "$partial/etc/resolv.conf"
  mount_system "$partial"
  chroot "$partial" /usr/bin/env DEBIAN_FRONTEND=noninteractive bash -c \
    'apt-get update -qq && apt-get install -y -qq --no-install-recommends "$@" >/dev/null' _ "${packages[@]}" ||
    fail "cannot install the build packages in the root"
  cleanup
  printf '%s\n' "${packages[@]}" >"$partial/.brindle-packages"
  mv "$partial" "$cache"
  rm -f "$partial.log"
  echo "root made in $((SECONDS - started)) s"
}

started=$SECONDS
if ! cmp -s "$stamp" <(printf '%s\n' "${packages[@]}"); then
  make_root
fi
mount_system "$cache"
mount_in_root "$checkout" "$cache/checkout" --bind
echo "root ready in $((SECONDS - started)) s"

# Inside: configure with the platform backend and the stand-in, build the server and the tests that run
# through the Swift bridge (the rest of the suite runs in the ordinary build), and run them. The build folder
# is the checkout's own (ignored by git), so a later run builds only what changed.
chroot "$cache" /usr/bin/env -i PATH=/usr/local/bin:/usr/bin:/bin HOME=/root LANG=C.UTF-8 bash -euo pipefail -c '
  cd /checkout
  started=$SECONDS
  cmake -S . -B build-swift -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBRINDLE_PLATFORM_MODEL=ON \
    -DBRINDLE_PLATFORM_STANDIN=ON -DBRINDLE_TESTS=ON -DBRINDLE_BENCH=OFF >/dev/null
  ninja -C build-swift -j2 brindle-server brindle_platform_smoke brindle_platform_end_to_end
  echo "swift build in $((SECONDS - started)) s"
  ctest --test-dir build-swift -L platform-model --output-on-failure
'
