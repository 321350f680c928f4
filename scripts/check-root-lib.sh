# Shared by scripts/check-debian13.sh and scripts/check-aarch64.sh (sourced, not run): they
# make and cache a minimal Debian root with debootstrap, give it this machine's package-client
# configuration, and run the README's test command there from a fresh clone of this checkout.
#
# Exit codes of those scripts: 0 the suite passed, 77 the check could not start here (not
# root, no debootstrap, archive unreachable...; the reason is printed), anything else a failure.
#
# Settings (environment):
#   ZELK_CHECK_CACHE  where roots and downloads are kept
#                     (default: /var/cache/zelk-check as root, else $XDG_CACHE_HOME/zelk-check)
#   ZELK_CHECK_KEEP=1 keep the run's root and clone afterwards, for a look inside
#   ZELK_CHECK_FRESH=1 remake the cached base root first

CHECK_SKIP=77
CHECK_NAME=${CHECK_NAME:-$(basename "$0" .sh)}
REPO=$(git -C "$(dirname "$0")/.." rev-parse --show-toplevel)
if [[ -n ${ZELK_CHECK_CACHE:-} ]]; then
  CACHE=$ZELK_CHECK_CACHE
elif [[ $(id -u) -eq 0 ]]; then
  CACHE=/var/cache/zelk-check
else
  CACHE=${XDG_CACHE_HOME:-$HOME/.cache}/zelk-check
fi
CHECK_START=$SECONDS

say() { echo "$CHECK_NAME: $*"; }
elapsed() { local s=$((SECONDS - CHECK_START)); printf '%dm%02ds' $((s / 60)) $((s % 60)); }
skip() { say "SKIPPED: $*"; exit "$CHECK_SKIP"; }
die() { say "FAILED: $*" >&2; exit 1; }

# Exits with "skipped" unless this process may make and enter a root.
require_root() {
  [[ $(id -u) -eq 0 ]] || skip "needs root (debootstrap, mounts)"
}

# Makes sure COMMAND exists, installing Debian PACKAGE for it; skips when that cannot be done.
require_tool() {
  local command=$1 package=$2
  command -v "$command" >/dev/null && return 0
  say "installing $package (for $command)"
  if ! { DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$package" \
           >/dev/null 2>&1 ||
         { apt-get update -qq >/dev/null 2>&1 &&
           DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
             "$package" >/dev/null 2>&1; }; }; then
    skip "$command is not installed and $package could not be installed"
  fi
  command -v "$command" >/dev/null || skip "$package gave no $command"
}

# Makes sure Debian package $1 is installed; skips when that cannot be done.
require_package() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed' && return 0
  say "installing $1"
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$1" \
      >/dev/null 2>&1 ||
    { apt-get update -qq >/dev/null 2>&1 &&
      DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$1" \
        >/dev/null 2>&1; } ||
    skip "$1 is not installed and could not be installed"
}

host_codename() { . /etc/os-release && echo "${VERSION_CODENAME:-}"; }

# The machine's apt sources for Debian's archive (stanzas and lines whose suite is this
# release or one of its -updates/-security suites), rewritten for release $2 into folder $1:
# host.sources (deb822 files) and host.list (one-line files). Prints the main archive's URI.
write_apt_sources() {
  local dest=$1 target=$2
  python3 - "$(host_codename)" "$target" "$dest" <<'EOF'
import glob, os, re, sys

host, target, dest = sys.argv[1:]
suite_re = re.compile(r"^%s(-[a-z]+)?$" % re.escape(host))

def rewrite(suite):
    return target + suite[len(host):]

stanzas, lines, mirrors = [], [], []
for path in sorted(glob.glob("/etc/apt/sources.list.d/*.sources")):
    for block in re.split(r"\n\s*\n", open(path).read()):
        fields = {}
        for line in block.splitlines():
            m = re.match(r"^([A-Za-z-]+):\s*(.*)$", line)
            if m:
                fields[m.group(1).lower()] = m.group(2).split()
        suites = fields.get("suites", [])
        if fields.get("enabled", ["yes"])[0] == "no" or not suites:
            continue
        if not all(suite_re.match(s) for s in suites) or "deb" not in fields.get("types", []):
            continue
        out = []
        for line in block.splitlines():
            if re.match(r"^Suites:", line, re.I):
                line = "Suites: " + " ".join(rewrite(s) for s in suites)
            out.append(line)
        stanzas.append("\n".join(out).strip())
        if host in suites:
            mirrors += fields.get("uris", [])
for path in ["/etc/apt/sources.list"] + sorted(glob.glob("/etc/apt/sources.list.d/*.list")):
    if not os.path.exists(path):
        continue
    for line in open(path):
        words = re.sub(r"\[[^]]*\]", " ", line.split("#", 1)[0]).split()
        if len(words) < 3 or words[0] != "deb" or not suite_re.match(words[2]):
            continue
        lines.append(re.sub(r"(\s)%s(-[a-z]+)?(\s)" % re.escape(words[2]),
                            lambda m: m.group(1) + rewrite(words[2]) + m.group(3), line, count=1))
        if words[2] == host:
            mirrors.append(words[1])
os.makedirs(dest, exist_ok=True)
if stanzas:
    open(os.path.join(dest, "host.sources"), "w").write("\n\n".join(stanzas) + "\n")
if lines:
    open(os.path.join(dest, "host.list"), "w").write("".join(lines))
print(mirrors[0] if mirrors else "http://deb.debian.org/debian")
EOF
}

# The URI of this machine's Debian archive (from its apt sources).
host_mirror() {
  local d
  d=$(mktemp -d) && write_apt_sources "$d" "$(host_codename)" && rm -rf "$d"
}

# True when the archive at $1 serves suite $2.
archive_reachable() {
  python3 - "$1" "$2" <<'EOF'
import sys, urllib.request
try:
    urllib.request.urlopen(sys.argv[1].rstrip("/") + "/dists/%s/InRelease" % sys.argv[2],
                           timeout=30).read(1)
except Exception as e:
    print("  ", e, file=sys.stderr)
    sys.exit(1)
EOF
}

# apt's proxy, if the machine sets one in its apt configuration, for debootstrap's downloads.
export_apt_proxy() {
  local proxy
  for scheme in http https; do
    proxy=$(apt-config shell P "Acquire::$scheme::Proxy" 2>/dev/null | sed -n "s/^P='\(.*\)'$/\1/p")
    if [[ -n $proxy && $proxy != DIRECT && -z $(printenv "${scheme}_proxy") ]]; then
      export "${scheme}_proxy=$proxy"
    fi
  done
}

# Copies the machine's package-client configuration into root $1 (apt sources for release $2):
# apt sources, apt's download settings (Acquire::...), pip's configuration and any local
# folders or files it names, and the locally added CA certificates.
copy_client_config() {
  local root=$1 target=$2 f
  # apt: Debian's archive entries, rewritten for the target release.
  rm -f "$root/etc/apt/sources.list" "$root"/etc/apt/sources.list.d/*
  write_apt_sources "$root/etc/apt/sources.list.d" "$target" >/dev/null
  for f in /etc/apt/apt.conf /etc/apt/apt.conf.d/*; do
    [[ -f $f ]] && grep -q '^[[:space:]]*Acquire' "$f" && cp "$f" "$root/etc/apt/apt.conf.d/"
  done
  echo 'Acquire::Retries "3";' >"$root/etc/apt/apt.conf.d/80zelk-retries"
  # pip: its configuration files and whatever local paths they name.
  for f in /etc/pip.conf "$HOME/.pip/pip.conf" "$HOME/.config/pip/pip.conf" ${PIP_CONFIG_FILE:-}; do
    [[ -f $f ]] && install -D -m 644 "$f" "$root$f"
  done
  if [[ -d /etc/xdg/pip ]]; then
    mkdir -p "$root/etc/xdg" && rm -rf "$root/etc/xdg/pip" && cp -a /etc/xdg/pip "$root/etc/xdg/"
  fi
  # Named files are copied (unless the root has its own, as its CA bundle); named folders (local
  # package indexes, often gigabytes) get an empty mount point here and are bind-mounted
  # read-only by the caller: see pip_named_folders.
  for f in $(pip_named_paths); do
    [[ -f $f && ! -e $root$f ]] && install -D -m 644 "$f" "$root$f"
  done
  for f in $(pip_named_folders); do mkdir -p "$root$f"; done
  # CA certificates added on this machine; the root's ca-certificates makes its bundle with them.
  if [[ -d /usr/local/share/ca-certificates ]]; then
    mkdir -p "$root/usr/local/share/ca-certificates"
    cp -a /usr/local/share/ca-certificates/. "$root/usr/local/share/ca-certificates/"
  fi
  cp /etc/resolv.conf "$root/etc/resolv.conf" 2>/dev/null || true
  # A run's root is thrown away afterwards: dpkg need not sync every file it writes.
  echo force-unsafe-io >"$root/etc/dpkg/dpkg.cfg.d/zelk-unsafe-io"
}

# Absolute paths named by pip's configuration files and PIP_* variables (find-links folders,
# constraint and requirement files, certificates).
pip_named_paths() {
  {
    cat /etc/pip.conf "$HOME/.pip/pip.conf" "$HOME/.config/pip/pip.conf" /etc/xdg/pip/*.conf \
        ${PIP_CONFIG_FILE:-} 2>/dev/null | sed -n 's/^[^#;=]*=\s*//p'
    env | sed -n 's/^PIP_[A-Z_]*=//p'
  } | tr ' \t' '\n\n' | sed 's|^file://||' | grep '^/' | while read -r p; do
    [[ -e $p ]] && echo "$p"
  done | sort -u
}

# The folders among them, which a run mounts read-only at the same place in its root. A local
# package index (.../simple) links to files beside it (.../files): its parent is taken.
pip_named_folders() {
  local p
  for p in $(pip_named_paths); do
    [[ -d $p ]] || continue
    [[ $(basename "$p") == simple ]] && p=$(dirname "$p")
    echo "$p"
  done | sort -u
}

# Variables passed into the root: a clean environment plus the machine's proxy, pip and CA settings.
root_env() {
  echo PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
  echo HOME=/root
  echo LANG=C.UTF-8
  echo "TERM=${TERM:-dumb}"
  env | grep -E '^(PIP_[A-Z_]+|https?_proxy|HTTPS?_PROXY|no_proxy|NO_PROXY|SSL_CERT_FILE|SSL_CERT_DIR|REQUESTS_CA_BUNDLE|CURL_CA_BUNDLE|CI)=' || true
}

# A fresh clone of this checkout's committed HEAD at $1.
clone_checkout() {
  if [[ -n $(git -C "$REPO" status --porcelain --untracked-files=no 2>/dev/null) ]]; then
    say "note: uncommitted changes in $REPO are not part of the check (it clones HEAD)"
  fi
  git clone -q --no-hardlinks "$REPO" "$1"
  say "cloned $(git -C "$1" log -1 --format='%h %s')"
}

# The README's test command as run inside the root, timed.
# Its exit status is also written to /root/test-status: PRoot exits with the status of the last
# process to end, so a program the suite left running would turn a failed run into a pass.
TIMED_TEST='start=$SECONDS; rc=0; scripts/test.sh "$@" || rc=$?
echo "--- scripts/test.sh (set-up and suite) took $(((SECONDS - start) / 60))m$(((SECONDS - start) % 60))s, exit $rc"
echo $rc >/root/test-status
exit $rc'

# Commands run inside the root after the suite: the versions it ran with.
VERSIONS_SCRIPT='
[ -x .venv/bin/python ] || { echo "--- (set-up did not finish: no versions to show)"; exit 0; }
echo "--- versions ($(. /etc/os-release; echo "$PRETTY_NAME"), $(dpkg --print-architecture))"
.venv/bin/python -c "import sys, cv2, numpy; print(\"Python\", sys.version.split()[0]); print(\"OpenCV\", cv2.__version__); print(\"NumPy\", numpy.__version__)" || true
echo "pybind11 $(dpkg-query -W -f="\${Version}" pybind11-dev 2>/dev/null)"
g++ --version | head -1
cmake --version | head -1
.venv/bin/python -c "import pyzbar, os; print(\"pyzbar from\", os.path.dirname(pyzbar.__file__))" || true
'

# Takes the lock file $1 that lets one check at a time make or read its cached root. It is held
# on fd 8, which run_suite_in_root does not pass to the commands it runs in the root: a program
# the suite leaves behind (an X server, say) must not keep the next check waiting.
hold_root_lock() {
  exec 8>"$1"
  flock 8
}

# Makes the run's root WORK: a copy of the base root $1 in a new folder under $2, removed on
# every exit path (kept, unmounted, with ZELK_CHECK_KEEP=1), given this machine's package-client
# configuration for suite $3 and a fresh clone of the checkout in /root/control_zelk.
start_run_root() {
  WORK=$(mktemp -d "$2/run.XXXXXX")
  trap end_run_root EXIT
  trap 'exit 130' INT
  trap 'exit 143' TERM HUP
  cp -a "$1/." "$WORK/"
  copy_client_config "$WORK" "$3"
  clone_checkout "$WORK/root/control_zelk"
  mkdir -p "$WORK/root/.cache/pip"
}

end_run_root() {
  local rc=$?
  if [[ ${ZELK_CHECK_KEEP:-} == 1 ]]; then
    unmount_under "$WORK" || true
    say "kept $WORK"
  else
    remove_tree "$WORK"
  fi
  exit "$rc"
}

# Runs the README's test command in the root (through the function named by $1, which runs a
# command line inside it), then shows the versions it ran with and says how it went: $2 names
# the system, $3 how long it usually takes; the rest are pytest's. Exits with the suite's status
# when it failed. The root builds in its own clone, so the host's build lock is not taken: a
# check that runs for an hour or more must not stop others from building the host's tree. It
# runs at a low priority instead (nice 15), out of the way of builds and tests on the host.
run_suite_in_root() {
  local run=$1 system=$2 expected=$3 rc=0
  shift 3
  say "running scripts/test.sh in $system (set-up included, $expected)"
  rm -f "$WORK/root/test-status"
  "$run" nice -n 15 /bin/bash -c "cd /root/control_zelk && $TIMED_TEST" test.sh "$@" \
    8>&- || rc=$?
  "$run" /bin/bash -c "cd /root/control_zelk && $VERSIONS_SCRIPT" 8>&- || true
  if ((rc == 0)); then
    rc=$(cat "$WORK/root/test-status" 2>/dev/null) || rc="no status (it did not finish)"
  fi
  if [[ $rc != 0 ]]; then
    say "FAILED: scripts/test.sh on $system: exit $rc (after $(elapsed))"
    [[ $rc =~ ^[0-9]+$ ]] && exit "$rc"
    exit 1
  fi
  say "passed on $system in $(elapsed)"
}

# Unmounts everything mounted under $1, deepest first; true when nothing is left mounted.
unmount_under() {
  local root=$1 m
  for m in $(awk -v r="$root" '$2 == r || index($2, r "/") == 1 {print $2}' /proc/self/mounts | sort -r); do
    umount "$m" 2>/dev/null || umount -l "$m" 2>/dev/null || say "could not unmount $m"
  done
  ! awk -v r="$root" '$2 == r || index($2, r "/") == 1 {found=1} END {exit !found}' /proc/self/mounts
}

# Removes a run's root, never following a mount point out of it.
remove_tree() {
  local dir=$1
  [[ -n $dir && -d $dir ]] || return 0
  if unmount_under "$dir"; then
    rm -rf --one-file-system "$dir"
  else
    say "left $dir in place: something is still mounted in it"
  fi
}
