#!/usr/bin/env bash
# Runs the README's test command (scripts/test.sh) on Debian 12 (bookworm) arm64, the car's
# system, under emulation on any Linux machine, without binfmt_misc: PRoot runs every arm64
# program through qemu-aarch64-static. The root is made with debootstrap's two stages and
# cached, copied afresh for each run, given this machine's apt sources, pip configuration and
# CA certificates; a fresh clone of this checkout's HEAD runs there. The run's copy is removed
# on every exit path (PRoot mounts nothing).
#
#   scripts/check-aarch64.sh [pytest arguments]
#
# Exit 0: passed; 77: could not start here (the reason is printed); otherwise: failed.
# Times on 2 cores: ~1 h 40 min with the root cached (apt ~27 min, build ~42, suite ~28),
# ~15 min more the first time (PRoot built, base root made). Settings: see check-root-lib.sh.
#
# Why PRoot 5.4.0, built here: Debian 12's proot (5.1) does not translate faccessat2, which
# qemu uses for every access(), so nothing runs under it. 5.4.0 is built from the source
# tarball in Debian's archive, with -DNDEBUG (without it an assertion aborts it under qemu) and
# with its brk emulation turned off. PRoot moves each traced process's heap to a mapping of its
# own; the traced process is qemu, and that move corrupts the emulated program's memory now and
# then: with it, `python3 -c "print(1)"` aborted in glibc ("double free or corruption") in 17
# of 150 runs under qemu 10 and the simulator in 1 of ~1000 starts under qemu 7.2, besides
# qemu's own "cpu == current_cpu" assertion in the threaded web-view launcher; without it,
# 0 of 200 and those tests pass. qemu's heap then stays where the kernel put it.
#
# The emulated CPU is a Cortex-A72, the Raspberry Pi 4's, rather than qemu's "max": the code
# runs with the features a car has (no SVE, no pointer authentication), and a little faster.
set -euo pipefail
source "$(dirname "$0")/check-root-lib.sh"

SUITE=bookworm
ARCH=arm64
BASE=$CACHE/debian12-$ARCH/base
RUNS=$CACHE/debian12-$ARCH/runs
DOWNLOADS=$CACHE/debian12-$ARCH/downloads
PROOT_VERSION=5.4.0
PROOT_TARBALL=proot_$PROOT_VERSION.orig.tar.gz
PROOT_SHA256=29248aac2a7ce10c3bd5ee5602742ec33b2532310ff9cf73b79f3c133e5a5f68
PROOT_DIR=$CACHE/tools/proot-$PROOT_VERSION-nobrk
PROOT=$PROOT_DIR/src/proot
QEMU_CPU=cortex-a72

require_root
command -v python3 >/dev/null || skip "needs python3 on this machine"
require_tool debootstrap debootstrap
require_tool qemu-aarch64-static qemu-user-static
[[ -e /usr/share/debootstrap/scripts/$SUITE ]] || skip "this debootstrap does not know $SUITE"
MIRROR=$(host_mirror)
export_apt_proxy
archive_reachable "$MIRROR" "$SUITE" || skip "Debian's archive ($MIRROR, $SUITE) is not reachable"

mkdir -p "$CACHE/tools" "$RUNS" "$DOWNLOADS/apt" "$DOWNLOADS/pip"
hold_root_lock "$CACHE/debian12-$ARCH.lock"   # PRoot and the base root

if [[ ! -x $PROOT ]]; then
  for package in gcc make libtalloc-dev uthash-dev; do require_package "$package"; done
  if [[ ! -e $CACHE/tools/$PROOT_TARBALL ]]; then
    say "downloading $PROOT_TARBALL from Debian's archive"
    python3 - "$MIRROR/pool/main/p/proot/$PROOT_TARBALL" "$CACHE/tools/$PROOT_TARBALL.part" <<'EOF' ||
import sys, urllib.request
open(sys.argv[2], "wb").write(urllib.request.urlopen(sys.argv[1], timeout=60).read())
EOF
      skip "could not download $PROOT_TARBALL"
    echo "$PROOT_SHA256  $CACHE/tools/$PROOT_TARBALL.part" | sha256sum -c --quiet ||
      die "$PROOT_TARBALL does not have the expected SHA-256"
    mv "$CACHE/tools/$PROOT_TARBALL.part" "$CACHE/tools/$PROOT_TARBALL"
  fi
  say "building PRoot $PROOT_VERSION (~1 min)"
  rm -rf "$PROOT_DIR" "$CACHE/tools/proot-$PROOT_VERSION"
  tar -xzf "$CACHE/tools/$PROOT_TARBALL" -C "$CACHE/tools"
  mv "$CACHE/tools/proot-$PROOT_VERSION" "$PROOT_DIR"
  # Brk emulation off (see above): both of its hooks return at once, as for a process whose
  # heap PRoot found it need not move.
  heap=$PROOT_DIR/src/syscall/heap.c
  sed -i 's/^\tif (tracee->heap->disabled)$/\tif (true)/' "$heap"
  [[ $(grep -c '^.if (true)$' "$heap") == 2 ]] || die "PRoot's $heap is not as expected"
  nice -n 15 make -s -C "$PROOT_DIR/src" CC="gcc -DNDEBUG" proot \
    >"$PROOT_DIR.build.log" 2>&1 || die "PRoot did not build; its log: $PROOT_DIR.build.log"
fi
"$PROOT" --version >/dev/null 2>&1 || die "$PROOT does not run"
QEMU="$(command -v qemu-aarch64-static) -cpu $QEMU_CPU"  # PRoot splits it at spaces

# PRoot with qemu on root $1; the rest is the command line inside.
in_proot() {
  local root=$1
  shift
  "$PROOT" -q "$QEMU" -r "$root" -0 -w / -b /dev -b /proc -b /sys "${BINDS[@]}" "$@"
}
BINDS=()

if [[ ${ZELK_CHECK_FRESH:-} == 1 || ! -e $BASE/.zelk-base-complete ]]; then
  say "making the $SUITE $ARCH base root (~16 min) from $MIRROR"
  remove_tree "$BASE.new"
  remove_tree "$BASE"
  log=$CACHE/debian12-$ARCH.debootstrap.log
  nice -n 10 debootstrap --arch="$ARCH" --foreign --variant=minbase --include=ca-certificates \
    "$SUITE" "$BASE.new" "$MIRROR" >"$log" 2>&1 || die "debootstrap (first stage) failed; its log: $log"
  # The first stage leaves proc as a symlink; PRoot binds the machine's /proc on a folder.
  if [[ -L $BASE.new/proc ]]; then rm "$BASE.new/proc" && mkdir "$BASE.new/proc"; fi
  say "debootstrap's second stage under emulation"
  nice -n 15 "$PROOT" -q "$QEMU" -r "$BASE.new" -0 -b /dev -b /proc -b /sys \
    /debootstrap/debootstrap --second-stage >>"$log" 2>&1 ||
    die "debootstrap (second stage) failed; its log: $log ($BASE.new/debootstrap/debootstrap.log)"
  rm -rf "$BASE.new"/var/cache/apt/archives/*.deb "$BASE.new"/var/lib/apt/lists/*_*
  touch "$BASE.new/.zelk-base-complete"
  mv "$BASE.new" "$BASE"
  say "base root ready after $(elapsed)"
fi

start_run_root "$BASE" "$RUNS" "$SUITE"
# apt cannot change to its sandbox user under PRoot, and systemd-tmpfiles (run by systemd's
# own scripts when a package pulls it in) crashes there: it is diverted and replaced by true.
# Debian 12's systemd installs it as /bin/systemd-tmpfiles, later ones as /usr/bin/...; with
# merged /usr both are one file, so both names are diverted and the file is a link to true.
echo 'APT::Sandbox::User "root";' >"$WORK/etc/apt/apt.conf.d/90zelk-proot"
for f in /bin/systemd-tmpfiles /usr/bin/systemd-tmpfiles; do
  in_proot "$WORK" /usr/bin/dpkg-divert --quiet --local --rename --add "$f"
done
ln -sf /bin/true "$WORK/usr/bin/systemd-tmpfiles"
# Downloads are kept between runs; the installed system is not.
BINDS=(-b "$DOWNLOADS/apt:/var/cache/apt/archives" -b "$DOWNLOADS/pip:/root/.cache/pip")
for d in $(pip_named_folders); do BINDS+=(-b "$d"); done

mapfile -t ENVIRONMENT < <(root_env)
# Tells the suite it runs emulated: the browser tests skip (chromium takes longer to start
# than Selenium waits for it).
ENVIRONMENT+=(ZELK_EMULATED=1)
in_root() { in_proot "$WORK" /usr/bin/env -i "${ENVIRONMENT[@]}" "$@"; }
in_root update-ca-certificates >/dev/null 2>&1 || die "update-ca-certificates failed in the root"

run_suite_in_root in_root "Debian 12 $ARCH under emulation" "~1 h 40 min" -rs "$@"
