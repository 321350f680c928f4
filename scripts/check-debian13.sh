#!/usr/bin/env bash
# Runs the README's test command (scripts/test.sh) on a clean Debian 13 (trixie) amd64 system:
# a minimal root made with debootstrap and cached, copied afresh for each run, given this
# machine's apt sources (rewritten for trixie), pip configuration and CA certificates, with
# /proc, /sys, /dev, /dev/pts bind-mounted; a fresh clone of this checkout's HEAD runs there.
# The mounts and the run's copy are removed on every exit path.
#
#   scripts/check-debian13.sh [pytest arguments]
#
# Exit 0: passed; 77: could not start here (the reason is printed); otherwise: failed.
# Times on 2 cores: the base root ~1.5 min (once), each run ~15 min. Settings: see check-root-lib.sh.
set -euo pipefail
source "$(dirname "$0")/check-root-lib.sh"

SUITE=trixie
ARCH=amd64
BASE=$CACHE/debian13-$ARCH/base
RUNS=$CACHE/debian13-$ARCH/runs
DOWNLOADS=$CACHE/debian13-$ARCH/downloads

require_root
[[ $(dpkg --print-architecture 2>/dev/null) == "$ARCH" ]] || skip "needs an $ARCH machine"
command -v python3 >/dev/null || skip "needs python3 on this machine"
require_tool debootstrap debootstrap
[[ -e /usr/share/debootstrap/scripts/$SUITE ]] || skip "this debootstrap does not know $SUITE"
MIRROR=$(host_mirror)
export_apt_proxy
archive_reachable "$MIRROR" "$SUITE" || skip "Debian's archive ($MIRROR, $SUITE) is not reachable"

mkdir -p "$CACHE" "$RUNS" "$DOWNLOADS/apt" "$DOWNLOADS/pip"
hold_root_lock "$CACHE/debian13-$ARCH.lock"

if [[ ${ZELK_CHECK_FRESH:-} == 1 || ! -e $BASE/.zelk-base-complete ]]; then
  say "making the $SUITE $ARCH base root (~1.5 min) from $MIRROR"
  remove_tree "$BASE.new"
  remove_tree "$BASE"
  nice -n 10 debootstrap --arch="$ARCH" --variant=minbase --include=ca-certificates \
    "$SUITE" "$BASE.new" "$MIRROR" >"$CACHE/debian13-$ARCH.debootstrap.log" 2>&1 ||
    die "debootstrap failed; its log: $CACHE/debian13-$ARCH.debootstrap.log"
  rm -rf "$BASE.new"/var/cache/apt/archives/*.deb "$BASE.new"/var/lib/apt/lists/*_*
  touch "$BASE.new/.zelk-base-complete"
  mv "$BASE.new" "$BASE"
  say "base root ready after $(elapsed)"
fi

start_run_root "$BASE" "$RUNS" "$SUITE"

for m in proc sys dev dev/pts; do
  mount --bind "/$m" "$WORK/$m"
done
if mountpoint -q /dev/shm; then mount --bind /dev/shm "$WORK/dev/shm"; fi
# Downloads are kept between runs; the installed system is not.
mount --bind "$DOWNLOADS/apt" "$WORK/var/cache/apt/archives"
mount --bind "$DOWNLOADS/pip" "$WORK/root/.cache/pip"
for d in $(pip_named_folders); do
  mount --bind "$d" "$WORK$d" && mount -o remount,bind,ro "$WORK$d"
done

mapfile -t ENVIRONMENT < <(root_env)
in_root() { chroot "$WORK" /usr/bin/env -i "${ENVIRONMENT[@]}" "$@"; }
in_root update-ca-certificates >/dev/null 2>&1 || die "update-ca-certificates failed in the root"

run_suite_in_root in_root "Debian 13 $ARCH" "~15 min" "$@"
