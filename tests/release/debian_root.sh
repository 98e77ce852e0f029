#!/usr/bin/env bash
# Makes (once) a clean minimal Debian root of SUITE with only a display server and one font
# added, cached outside the source tree between runs and keyed by suite and package list; the
# released-folder tests run the installer inside it. The mirror is the one this machine's apt
# uses. Prints the root's path; exits 77 (skip) only when neither a cached root nor the mirror
# is at hand.
#   debian_root.sh SUITE
set -euo pipefail
suite=$1
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
# xvfb and xauth for X11, weston for Wayland (it needs a font itself), and Debian's usual
# desktop font; the no-font runs hide the fonts instead of needing a second root.
packages=(xvfb xauth weston fonts-dejavu-core)

cache=${QUORVANE_ROOT_CACHE:-}
if [ -z "$cache" ]; then
    if [ -w /var/cache ]; then
        cache=/var/cache/quorvane-test-roots
    else
        cache=${XDG_CACHE_HOME:-$HOME/.cache}/quorvane-test-roots
    fi
fi
key=$suite-$(printf '%s\n' "$suite" "${packages[@]}" | sha256sum | cut -c1-12)
root=$cache/$key
mkdir -p "$cache"
exec {lock}>"$cache/$key.lock"
flock "$lock"
if [ -f "$root/.complete" ]; then
    echo "$root"
    exit 0
fi

# The first plain Debian archive among apt's sources, one-line or deb822.
read -r mirror keyring < <("$source_dir/tests/release/apt_mirror.py") || true
if [ -z "${mirror:-}" ]; then
    echo "SKIP: no Debian mirror in this machine's apt sources" >&2
    exit 77
fi
if ! curl -sf --max-time 30 -o /dev/null "$mirror/dists/$suite/InRelease"; then
    echo "SKIP: the mirror $mirror cannot be reached for $suite, and no root is cached in $cache" >&2
    exit 77
fi

command -v debootstrap >/dev/null || { echo "debootstrap is not installed (scripts/setup)" >&2 && exit 1; }
[ "$(id -u)" -eq 0 ] || { echo "making a root needs root (debootstrap, chroot)" >&2 && exit 1; }
started=$(date +%s)
building=$(mktemp -d "$cache/.building-$key-XXXXXX")
trap 'rm -rf --one-file-system "$building"' EXIT
keyring_option=()
[ -n "${keyring:-}" ] && [ -f "$keyring" ] && keyring_option=(--keyring="$keyring")
debootstrap --variant=minbase "${keyring_option[@]}" "$suite" "$building" "$mirror" \
    >"$building.log" 2>&1 || { tail -n 30 "$building.log" >&2 && rm -f "$building.log" && exit 1; }
# No service starts inside the root.
printf '#!/bin/sh\nexit 101\n' >"$building/usr/sbin/policy-rc.d"
chmod 755 "$building/usr/sbin/policy-rc.d"
unshare --mount --fork bash -s -- "$building" "${packages[@]}" >>"$building.log" 2>&1 <<'INSIDE' ||
set -euo pipefail
root=$1
shift
mount -t proc proc "$root/proc"
mount --rbind /dev "$root/dev"
mount --make-rslave "$root/dev"
export DEBIAN_FRONTEND=noninteractive LC_ALL=C.UTF-8
chroot "$root" apt-get update -qq
chroot "$root" apt-get install -y -qq --no-install-recommends "$@"
chroot "$root" apt-get clean
INSIDE
    { tail -n 30 "$building.log" >&2 && rm -f "$building.log" && exit 1; }
rm -f "$building.log"
rm -rf "$building/var/lib/apt/lists/"*
# shellcheck disable=SC2016 # dpkg-query's own fields
chroot "$building" dpkg-query -W -f='${Package} ${Version}\n' >"$building/.packages"
echo "$(($(date +%s) - started)) s, mirror $mirror" >"$building/.complete"
mv -T "$building" "$root"
trap - EXIT
echo "made $root in $(cut -d' ' -f1 "$root/.complete") s" >&2
echo "$root"
