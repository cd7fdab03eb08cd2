#!/usr/bin/env bash
# A Debian 13 (trixie) system in a folder, on any Debian or Ubuntu machine, for
# building and testing there: CI runs the tests in it, and so can anyone.
#
#   tools/debian13-root.sh [OPTION]... [--] [COMMAND [ARGUMENT]...]
#
# Makes the root when it is missing (debootstrap --variant=minbase, from the
# Debian mirror that this machine's apt sources name), brings it up to date
# (apt-get update and dist-upgrade, then tools/deps.sh of this checkout, then
# the current Debian 13 test kernel, unpacked at /var/cache/qz470-kernel), and
# runs COMMAND inside as root, in a clone of this checkout's HEAD at /src.
# Without a COMMAND, a shell. The exit status is COMMAND's.
#
#   --bind DIR    make DIR visible inside at the same path, and start there
#                 instead of /src (for work on uncommitted changes: --bind "$PWD";
#                 keep a build folder of its own, such as build-13)
#   --keep        keep what COMMAND changes in the root (packages it installs);
#                 by default each run sees the root as it was made, and its
#                 changes go when it ends
#   --net         give COMMAND the network; by default it has a network of
#                 its own with only loopback, so that its X displays, D-Bus
#                 buses and ports never meet the host's
#   --no-update   use the root as it is, without apt (quicker; offline)
#   --prepare     make or update the root, and run nothing
#
# The root lives in $QZ_ROOT_CACHE (default /var/cache/qz470-ci), in a folder
# named after a hash of tools/deps.sh: a change to the package list makes a
# new root from nothing, which shows that the list is complete on a minimal
# system. The downloaded packages are kept beside the roots and shared by
# them; only the two roots used last are kept. Needs root rights.
#
# Exit status 3, with one line, when the Debian mirror cannot be reached.
set -euo pipefail
cd "$(dirname "$0")/.."
source=$PWD
me=debian13-root.sh
suite=trixie

bind="" keep=0 net=0 update=1 prepare_only=0
while [ $# -gt 0 ]; do
  case $1 in
    --bind) bind=$(readlink -f "$2"); shift 2 ;;
    --keep) keep=1; shift ;;
    --net) net=1; shift ;;
    --no-update) update=0; shift ;;
    --prepare) prepare_only=1; shift ;;
    --) shift; break ;;
    -*) echo "$me: unknown option $1" >&2; exit 2 ;;
    *) break ;;
  esac
done
[ "$(id -u)" -eq 0 ] || { echo "$me: needs root rights (sudo $0 ...)" >&2; exit 2; }

cache=${QZ_ROOT_CACHE:-/var/cache/qz470-ci}
key=$(sha256sum tools/deps.sh | cut -c1-16)
root=$cache/debian13-$key
mkdir -p "$cache/debs"

# The Debian mirror this machine uses, and its security mirror: the URIs of the
# apt sources labelled "Debian" and "Debian-Security".
mirror_of() {
  apt-cache policy 2>/dev/null | awk -v label="$1" '
    $1 ~ /^[0-9]+$/ && $2 ~ /^[a-z]+:\/\// { uri = $2 }
    $1 == "release" && index($0, ",l=" label ",") { print uri; exit }'
}

# The root's own mounts, in the current (private) mount namespace: the kernel
# file systems and the package cache shared by all roots.
mount_system() {
  local dir=$1
  mount -t proc proc "$dir/proc"
  mount --rbind /sys "$dir/sys"
  mount --rbind /dev "$dir/dev"
  mount -t tmpfs -o mode=1777 shm "$dir/dev/shm"
  mount --bind "$cache/debs" "$dir/var/cache/apt/archives"
}
# in_root DIR COMMAND...: runs COMMAND in DIR with a clean environment.
in_root() {
  local dir=$1
  shift
  chroot "$dir" /usr/bin/env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root \
    LANG=C.UTF-8 TERM="${TERM:-dumb}" DEBIAN_FRONTEND=noninteractive ${CI:+CI=$CI} "$@"
}

mirror=${QZ_DEBIAN_MIRROR:-$(mirror_of Debian)}
[ -n "$mirror" ] || mirror=http://deb.debian.org/debian
reachable() {
  local probe
  probe=$(mktemp)
  /usr/lib/apt/apt-helper download-file "$mirror/dists/$suite/InRelease" "$probe" >/dev/null 2>&1 || {
    rm -f "$probe"
    echo "$me: the Debian package registry cannot be reached ($mirror/dists/$suite/InRelease)"
    exit 3
  }
  rm -f "$probe"
}

prepare() {
  local security
  if [ ! -e "$root/.ready" ]; then
    command -v debootstrap >/dev/null || DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap >/dev/null
    echo "$me: making a Debian 13 root in $root from $mirror"
    rm -rf "$root"
    debootstrap --variant=minbase --cache-dir="$cache/debs" "$suite" "$root" "$mirror" >"$cache/debootstrap.log" 2>&1 || {
      tail -n 20 "$cache/debootstrap.log"
      echo "$me: debootstrap failed"
      exit 1
    }
    security=$(mirror_of Debian-Security)
    {
      echo "deb $mirror $suite main"
      echo "deb $mirror $suite-updates main"
      [ -z "$security" ] || echo "deb $security $suite-security main"
    } >"$root/etc/apt/sources.list"
    # A root to throw away: dpkg need not sync every file it writes, and no
    # manual page index is wanted.
    echo force-unsafe-io >"$root/etc/dpkg/dpkg.cfg.d/qz470-unsafe-io"
    echo 'man-db man-db/auto-update boolean false' | chroot "$root" debconf-set-selections
  fi
  # apt, deps.sh and the kernel download need the network, and a name server.
  cp /etc/resolv.conf "$root/etc/resolv.conf" 2>/dev/null || true
  cp tools/deps.sh tools/fetch-test-kernel.sh "$root/usr/local/sbin/"
  unshare --mount --propagation private bash -c "$(declare -f mount_system in_root)"'
    set -e
    cache=$1 root=$2
    mount_system "$root"
    in_root "$root" apt-get update -qq
    in_root "$root" apt-get dist-upgrade -y -qq
    in_root "$root" deps.sh
    in_root "$root" apt-get autoclean -qq
    in_root "$root" fetch-test-kernel.sh /var/cache/qz470-kernel' prepare "$cache" "$root" >"$root.log" 2>&1 || {
    tail -n 30 "$root.log"
    echo "$me: could not bring the root up to date (the log: $root.log)"
    exit 1
  }
  # What deps.sh had to say (packages it installed, names apt did not know).
  grep '^deps.sh: ' "$root.log" || true
  touch "$root/.ready"
}

# Only the two roots used last stay (each is about 2.5 GB); one that another
# run is using stays too.
prune() {
  local old
  for old in $(ls -dt "$cache"/debian13-*/ 2>/dev/null | tail -n +3); do
    old=${old%/}
    [ "$old" != "$root" ] || continue
    (flock -n -x 9 && rm -rf "$old" "$old.log") 9>"$old.lock" || true
  done
}

# In the namespaces of the run: the root as the lower layer of an overlay (or
# itself, with --keep), a mount point of its own either way, so that a private
# mount namespace can be made inside (the udev rule tests make one); the
# kernel file systems; a clone of HEAD at /src; then the command.
run_inside() {
  local run=$1 keep=$2 net=$3 bind=$4 head=$5 cwd=$6
  shift 6
  mkdir "$run/root"
  if [ "$keep" = 1 ]; then
    mount --bind "$root" "$run/root"
  else
    mkdir "$run/upper" "$run/work"
    mount -t overlay overlay -o "lowerdir=$root,upperdir=$run/upper,workdir=$run/work" "$run/root"
  fi
  mount_system "$run/root"
  [ "$net" = 1 ] || ip link set lo up
  if [ -n "$bind" ]; then
    mkdir -p "$run/root$bind"
    mount --bind "$bind" "$run/root$bind"
  fi
  rm -rf "$run/root/src"
  git init -q "$run/root/src"
  git -C "$run/root/src" fetch -q "$source" "$head"
  git -C "$run/root/src" checkout -q FETCH_HEAD
  in_root "$run/root" QZ_KERNEL_DIR=/var/cache/qz470-kernel bash -c 'cd "$0" && exec "$@"' "$cwd" "$@"
}

# One update at a time on the machine (the roots share their package cache);
# runs share a root with each other, never with its update.
# wait_for LOCK-FD MODE: takes the lock, saying so when it has to wait.
wait_for() {
  flock -n "$2" "$1" || {
    echo "$me: waiting for another run on this machine to be done with $root"
    flock "$2" "$1"
  }
}
exec 7>"$cache/update.lock" 8>"$root.lock"
if [ "$update" = 1 ] || [ ! -e "$root/.ready" ]; then
  reachable
  wait_for 7 -x
  wait_for 8 -x
  prepare
  prune
  flock -u 8
  flock -u 7
fi
touch "$root"
[ "$prepare_only" = 0 ] || exit 0
wait_for 8 -s

run=$(mktemp -d /var/tmp/qz470-debian13.XXXXXX)
trap 'rm -rf "$run"' EXIT
# A process namespace of its own too: whatever the command leaves running (an
# X server, a VM) ends with it.
ns=(unshare --mount --propagation private --pid --fork)
[ "$net" = 1 ] || ns+=(--net)
[ $# -gt 0 ] || set -- bash
status=0
"${ns[@]}" bash -c "$(declare -f mount_system in_root run_inside)"'
  set -e
  cache=$1 root=$2 source=$3
  shift 3
  run_inside "$@"' run "$cache" "$root" "$source" "$run" "$keep" "$net" "$bind" "$(git rev-parse HEAD)" \
  "${bind:-/src}" "$@" || status=$?
exit $status
