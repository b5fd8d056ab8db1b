#!/usr/bin/env bash
# Follows the README on a freshly bootstrapped Debian 12 as a newcomer would:
# a minbase root from debootstrap, the README's prerequisites lines as root,
# then, as an ordinary user, the repository cloned (its committed HEAD, never
# the working tree), `make example` and `make test`.  Each step is printed
# with its status and time; its output goes to DIR/logs/, and the end of it
# is shown when the step fails.  Not part of `make test`: it needs root,
# several GB and the network, and takes long.
#
#   bash tests/fresh_root.sh [--keep] [DIR]     (default DIR: /tmp/velxref-fresh-root)
#
# The root (DIR/root) gets the host's package sources, the apt settings the
# host needs to reach its archive (proxy, release-date checks) and the
# host's CA certificates, nothing else.  A root left by an earlier run is
# removed first (a DIR/root it did not make is refused); the new one is
# removed when every step passed, unless --keep, and kept for a look when
# one failed.  The mounts live in a mount namespace of the script's own and
# are undone on exit, also on failure or a signal; processes still running
# in the root are ended first.
# MIRROR overrides the archive debootstrap reads (default: the host's).
# Ends with status 0 when every step passed, 1 when one failed, 2 on a usage
# or host error.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
script=$top/tests/$(basename "$0")
usage() { echo "usage: bash tests/fresh_root.sh [--keep] [DIR]" >&2; exit 2; }

keep=no
args=()
for a in "$@"; do
    case $a in
    --keep) keep=yes ;;
    -*) usage ;;
    *) args+=("$a") ;;
    esac
done
[ ${#args[@]} -le 1 ] || usage
dir=${args[0]:-/tmp/velxref-fresh-root}

[ "$(id -u)" = 0 ] || { echo "fresh_root.sh: needs root (debootstrap, chroot, mounts)" >&2; exit 2; }
for tool in debootstrap unshare git chroot; do
    command -v $tool >/dev/null || { echo "fresh_root.sh: $tool is not installed" >&2; exit 2; }
done

# Everything below runs in a private mount namespace: whatever happens, no
# mount of the root outlives the script.
if [ "${VELXREF_FRESH_ROOT_NS:-}" != 1 ]; then
    VELXREF_FRESH_ROOT_NS=1 exec unshare --mount --propagation private bash "$script" "$@"
fi

mkdir -p "$dir"
dir=$(cd "$dir" && pwd)
root=$dir/root
logs=$dir/logs
user=newcomer
step_pid=

# DIR holds nothing but what this script made there: never remove a root
# it did not make.
if [ -e "$root" ] && [ ! -f "$dir/.velxref-fresh-root" ]; then
    echo "fresh_root.sh: $root exists and was not made by this script; give another DIR" >&2
    exit 2
fi

# Ends the running step and every process whose root is the fresh root (a
# Wine server, a browser), then undoes the mounts under it, innermost first.
teardown() {
    local p m pids=()
    [ -n "$step_pid" ] && kill -TERM -- -"$step_pid" 2>/dev/null
    for p in /proc/[0-9]*; do
        [ "$(readlink "$p/root" 2>/dev/null)" = "$root" ] && pids+=("${p#/proc/}")
    done
    if [ ${#pids[@]} -gt 0 ]; then
        kill -TERM "${pids[@]}" 2>/dev/null
        sleep 2
        kill -KILL "${pids[@]}" 2>/dev/null
    fi
    for m in $(awk -v r="$root/" 'index($2, r) == 1 { print $2 }' /proc/self/mounts | sort -r); do
        umount "$m" 2>/dev/null || umount -l "$m"
    done
}
on_exit() {
    local status=$?
    trap - EXIT INT TERM HUP
    set +e
    [ -z "$step_pid" ] || echo "stopped"
    teardown
    if [ -d "$root" ] && { [ $status -ne 0 ] || [ $keep = yes ]; }; then
        echo "the root is kept in $root (logs in $logs)"
    elif [ -d "$root" ]; then
        rm -rf --one-file-system "$root"
        echo "the root is removed (logs in $logs)"
    fi
    exit $status
}
trap on_exit EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

mount_in_root() {   # TYPE SOURCE TARGET [OPTIONS]
    mkdir -p "$root/$3"
    mount -t "$1" ${4:+-o "$4"} "$2" "$root/$3"
}

# step NAME COMMAND...: runs COMMAND (under set -e) with its output in a log
# of its own and prints the step's status and time; a failed step shows its
# log's end and ends the run.  The step runs as a job of its own, so that a
# signal to the script is taken at once and ends the step with it.
set -m
steps=0
started=$(date +%s)
step() {
    local name=$1 log t0 t1 status
    shift
    steps=$((steps + 1))
    log=$logs/$(printf %02d $steps)-$(echo "$name" | tr -c 'A-Za-z0-9\n' - | cut -c1-40).log
    printf '[%s] %-60s ' "$(date -u +%H:%M:%S)" "$name"
    t0=$(date +%s)
    (set -e; "$@") >"$log" 2>&1 </dev/null &
    step_pid=$!
    status=0
    wait $step_pid || status=$?
    step_pid=
    t1=$(date +%s)
    printf 'status %d  %dm%02ds\n' $status $(((t1 - t0) / 60)) $(((t1 - t0) % 60))
    if [ $status -ne 0 ]; then
        echo "--- the last lines of $log:"
        tail -n 40 "$log"
        echo "FAILED: $name (after $(((t1 - started) / 60)) minutes)"
        exit 1
    fi
}

# In the root: as root, or as the newcomer in the clone; a clean
# environment, nothing inherited from the host's.
in_root() {
    chroot "$root" /usr/bin/env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
        HOME=/root LANG=C.UTF-8 DEBIAN_FRONTEND=noninteractive bash -c "$1"
}
as_newcomer() {
    local id
    id=$(chroot "$root" id -u $user):$(chroot "$root" id -g $user)
    chroot --userspec="$id" --groups="${id#*:}" "$root" /usr/bin/env -i PATH=/usr/local/bin:/usr/bin:/bin \
        HOME=/home/$user USER=$user LOGNAME=$user LANG=C.UTF-8 bash -c "cd ~ && $1"
}

# The host's archive, its apt settings for reaching it, its CA certificates.
mirror=${MIRROR:-$(apt-get indextargets --format '$(REPO_URI) $(CODENAME)' 'Created-By: Packages' 2>/dev/null \
                   | awk '$2 == "bookworm" { print $1; exit }')}
[ -n "$mirror" ] || mirror=http://deb.debian.org/debian/
copy_host_settings() {
    local f
    mkdir -p "$root/etc/apt/sources.list.d" "$root/etc/apt/apt.conf.d" "$root/usr/local/share/ca-certificates" \
             "$root/etc/ssl/certs"
    rm -f "$root/etc/apt/sources.list"
    for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
        [ ! -f "$f" ] || cp -v "$f" "$root$f"
    done
    for f in /etc/apt/apt.conf.d/*; do
        ! grep -qiE 'Proxy|Check-Valid-Until|Check-Date' "$f" || cp -v "$f" "$root$f"
    done
    # every keyring a copied source names that the root lacks
    for f in $(cat "$root"/etc/apt/sources.list "$root"/etc/apt/sources.list.d/* 2>/dev/null \
               | grep -oE 'Signed-By: *[^ ]+|signed-by=[^] ]+' | sed -E 's/^(Signed-By: *|signed-by=)//'); do
        [ ! -f "$f" ] || [ -f "$root$f" ] || install -v -D -m 644 "$f" "$root$f"
    done
    # CA certificates: the bundle for what runs before the ca-certificates
    # package, the local ones for the bundle that package builds
    [ ! -f /etc/ssl/certs/ca-certificates.crt ] || cp -v /etc/ssl/certs/ca-certificates.crt "$root/etc/ssl/certs/"
    for f in /usr/local/share/ca-certificates/*; do
        [ ! -e "$f" ] || cp -rv "$f" "$root/usr/local/share/ca-certificates/"
    done
}

mount_root() {
    mount_in_root proc proc proc
    mount_in_root sysfs sysfs sys ro
    mount_in_root tmpfs dev dev mode=755,size=64k
    mknod -m 666 "$root/dev/null" c 1 3
    mknod -m 666 "$root/dev/zero" c 1 5
    mknod -m 666 "$root/dev/full" c 1 7
    mknod -m 666 "$root/dev/random" c 1 8
    mknod -m 666 "$root/dev/urandom" c 1 9
    mknod -m 666 "$root/dev/tty" c 5 0
    ln -s /proc/self/fd "$root/dev/fd"
    ln -s /proc/self/fd/0 "$root/dev/stdin"
    ln -s /proc/self/fd/1 "$root/dev/stdout"
    ln -s /proc/self/fd/2 "$root/dev/stderr"
    mount_in_root devpts devpts dev/pts newinstance,ptmxmode=0666,mode=620
    ln -s pts/ptmx "$root/dev/ptmx"
    mount_in_root tmpfs shm dev/shm mode=1777
    awk -v r="$root/" 'index($2, r) == 1 { print $1, $2, $3 }' /proc/self/mounts
}

bootstrap() {
    mkdir -p "$dir/cache"
    debootstrap --variant=minbase --cache-dir="$dir/cache" bookworm "$root" "$mirror"
}

clone() {
    mkdir -p "$root/srv"
    mv "$dir/velxref.git" "$root/srv/velxref.git"
    in_root "useradd --create-home --shell /bin/bash $user && chown -R $user:$user /srv/velxref.git"
    as_newcomer "git clone /srv/velxref.git velxref && cd velxref && git log -1 --format='%h %s'"
}

versions() {
    in_root 'cat /etc/debian_version; node --version; npm --version; chromium --version; g++ --version | head -1;
             cmake --version | head -1; wine64 --version 2>/dev/null || /usr/lib/wine/wine64 --version'
}

# The README's lines, exactly as written: the first sh block under
# "## Prerequisites" in the commit that is tried.
prerequisites() {
    git -C "$dir/velxref.git" show HEAD:README.md \
        | awk '/^## Prerequisites/ { p = 1; next } p && /^## / { exit } p && /^```sh$/ { b = 1; next }
               b && /^```$/ { exit } b { print }'
}

touch "$dir/.velxref-fresh-root"
rm -rf --one-file-system "$root" "$logs" "$dir/velxref.git"
mkdir -p "$logs"
git clone --bare --no-local -q "$top" "$dir/velxref.git"
echo "velxref on a fresh Debian 12: $root"
echo "the committed HEAD of $top: $(git -C "$dir/velxref.git" log -1 --format='%h %s')"
[ -n "$(prerequisites)" ] || { echo "no prerequisites block in README.md" >&2; exit 2; }

step "debootstrap --variant=minbase bookworm ($mirror)" bootstrap
step "the host's package sources, apt settings, CA certificates" copy_host_settings
step "mounts: proc, sys, dev, dev/pts, dev/shm" mount_root
n=0
while IFS= read -r line; do
    n=$((n + 1))
    step "README prerequisites line $n" in_root "$line"
    echo "    $line"
done < <(prerequisites)
step "versions" versions
sed 's/^/    /' "$logs/$(printf %02d $steps)-versions.log"
step "a user; git clone /srv/velxref.git velxref" clone
step "make example" as_newcomer "cd velxref && make example"
step "make test" as_newcomer "cd velxref && make test"
tail -n 3 "$logs/$(printf %02d $steps)-make-test.log" | sed 's/^/    /'
echo "every step passed in $((($(date +%s) - started) / 60)) minutes"
