#!/usr/bin/env bash
# A Debian 13 chroot with CPython 3.13's debug build (python3.13d), a second
# 3.13 release and a newer g++ than the host's, for the debug stage of
# scripts/test.sh.
#
#   scripts/debug-chroot.sh provision          makes the chroot (or reuses it); prints its directory
#   scripts/debug-chroot.sh run CMD [ARG...]   runs CMD inside, with this clone at /src
#
# Needs root (debootstrap, chroot, bind mounts) and Debian's debootstrap on
# the host (installed with apt-get when missing). The chroot lives outside the
# clone, in NEROV_DEBUG_CHROOT (default: ${XDG_CACHE_HOME:-~/.cache}/nerov/debian13),
# so that later runs on the same machine reuse it. A chroot is complete only
# once its marker file is written, last: a half-made one (an interrupted
# debootstrap) is removed and made again. The packages come from the mirror
# of the machine's own apt sources (NEROV_DEBIAN_MIRROR overrides it).
#
# `run` bind-mounts /proc, /dev, /dev/pts and the clone (at /src), copies in
# the host's resolver configuration, CA bundle and pip configuration, with the
# local folders it names mounted read-only (so pip finds what it finds on the
# host), and unmounts everything
# when CMD ends, however it ends. The environment inside is a clean one, with
# the host's PIP_*, proxy, CA and NEROV_* variables and the interpreter and
# test settings that mean the same inside (PYTHONUNBUFFERED, PYTHONHASHSEED,
# HYPOTHESIS_PROFILE...). One run at a time holds
# the chroot (a lock), so two runs never unmount each other's mounts.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

say() { printf '%s\n' "$*" >&2; }
die() { say "debug-chroot.sh: $*"; exit 1; }

chroot_dir() {
    local d="${NEROV_DEBUG_CHROOT:-${XDG_CACHE_HOME:-$HOME/.cache}/nerov/debian13}"
    mkdir -p "$(dirname "$d")"
    echo "$(cd "$(dirname "$d")" && pwd)/$(basename "$d")"
}

# What a complete chroot holds; a change here makes it again.
suite=trixie
packages=python3.13-dev,python3.13-venv,python3.13-dbg,g++,make,git,ca-certificates
marker_name=.nerov-provisioned
marker_text="$suite $packages"

[ "$(id -u)" = 0 ] || die "needs root (debootstrap, chroot and bind mounts)"
dir=$(chroot_dir)
marker="$dir/$marker_name"

# Holds the chroot for this process and its children (fd 9 stays open).
exec 9>"$dir.lock"
flock 9

# The mounts below DIR, deepest first.
mounts_below() {
    awk -v d="$1" '{ gsub(/\\040/, " ", $2) } $2 == d || index($2, d "/") == 1 { print $2 }' /proc/self/mounts \
        | sort -r
}

unmount_all() {
    local m
    mounts_below "$1" | while IFS= read -r m; do
        umount "$m" 2>/dev/null || umount -l "$m" || true
    done
}

# The first mirror of the machine's apt sources that is not a security or
# updates archive: deb822 .sources files first, then one-line sources.
host_mirror() {
    local uri
    uri=$(awk 'tolower($1) == "uris:" { for (i = 2; i <= NF; i++) print $i }' \
              /etc/apt/sources.list.d/*.sources 2>/dev/null | grep -v -- '-security' | head -n 1 || true)
    if [ -z "$uri" ]; then
        uri=$(cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null \
              | awk '$1 == "deb" { for (i = 2; i <= NF; i++) if ($i !~ /^\[/ && $i !~ /\]$/) { print $i; break } }' \
              | grep -v -- '-security' | head -n 1 || true)
    fi
    echo "$uri"
}

provision() {
    if [ -f "$marker" ] && [ "$(cat "$marker")" = "$marker_text" ]; then
        say "Reusing the Debian 13 chroot in $dir"
        echo "$dir"
        return
    fi
    if [ -e "$dir" ]; then
        say "Removing the incomplete or outdated chroot in $dir"
        unmount_all "$dir"
        [ -z "$(mounts_below "$dir")" ] || die "cannot unmount everything below $dir"
        rm -rf --one-file-system "$dir"
    fi
    if ! command -v debootstrap >/dev/null 2>&1; then
        say "Installing debootstrap"
        apt-get update -q
        DEBIAN_FRONTEND=noninteractive apt-get install -y -q debootstrap
    fi
    # An older debootstrap may not know the suite yet: Debian's suites after
    # bookworm are made as sid is.
    local scripts=/usr/share/debootstrap/scripts
    [ -e "$scripts/$suite" ] || ln -s sid "$scripts/$suite"
    local mirror="${NEROV_DEBIAN_MIRROR:-$(host_mirror)}"
    [ -n "$mirror" ] || die "no Debian mirror in the apt sources; set NEROV_DEBIAN_MIRROR"
    say "Making a Debian 13 chroot in $dir (debootstrap $suite)"
    local start=$SECONDS
    if ! debootstrap --variant=minbase --include="$packages" "$suite" "$dir" "$mirror" >&2; then
        say "debootstrap failed; its log:"
        tail -n 30 "$dir/debootstrap/debootstrap.log" >&2 2>/dev/null || true
        unmount_all "$dir"
        exit 1
    fi
    unmount_all "$dir"  # what debootstrap mounted and left
    echo "$marker_text" > "$marker"
    say "Debian 13 chroot made in $(( SECONDS - start )) s"
    echo "$dir"
}

# Copies host file F into the chroot at the same path (or at DEST).
copy_in() {
    local src=$1 dest=${2:-$1}
    [ -f "$src" ] || return 0
    mkdir -p "$(dirname "$dir$dest")"
    # Replaced, not written through: the chroot's own file may be a symbolic
    # link, which would lead outside the chroot.
    rm -f "$dir$dest"
    cp -L "$src" "$dir$dest"
}

# The local paths that pip's settings name (CA bundle, constraints file,
# local wheel folders) and that exist here; for a file:// index, the folder
# that holds it, as its pages link to files beside it.
named_paths() {
    grep -oE '(^|[ =]|file://)/[^ ]+' | sed -E 's#^[ =]##; s#^file://(.*)/[^/]+/?$#\1#' | while read -r f; do
        [ -e "$f" ] && echo "$f"
    done
    return 0
}

# Copies the host's resolver, CA bundle and pip configuration in: each file
# at its own path (user files under /root), each folder they name mounted
# read-only at its own path.
copy_host_config() {
    copy_in /etc/resolv.conf
    local f v named=()
    for v in SSL_CERT_FILE REQUESTS_CA_BUNDLE CURL_CA_BUNDLE; do
        [ -n "${!v:-}" ] && named+=("${!v}")
    done
    local user_conf="${XDG_CONFIG_HOME:-$HOME/.config}/pip/pip.conf"
    for f in /etc/pip.conf /etc/xdg/pip/pip.conf "$user_conf" "$HOME/.pip/pip.conf"; do
        [ -f "$f" ] || continue
        case "$f" in
            "$user_conf") copy_in "$f" /root/.config/pip/pip.conf ;;
            "$HOME/.pip/pip.conf") copy_in "$f" /root/.pip/pip.conf ;;
            *) copy_in "$f" ;;
        esac
        mapfile -t -O "${#named[@]}" named < <(named_paths < "$f")
    done
    mapfile -t -O "${#named[@]}" named < <(compgen -e | grep '^PIP_' | while read -r v; do
        printf '%s\n' "${!v}"; done | tr ' ' '\n' | sed 's/^/ /' | named_paths)
    for f in "${named[@]}"; do
        if [ -d "$f" ]; then
            # Never over a folder of the chroot's own (a system folder).
            [ -n "$(mounts_below "$dir$f")" ] && continue
            [ -d "$dir$f" ] && [ -n "$(ls -A "$dir$f")" ] && continue
            mkdir -p "$dir$f"
            mount --bind "$f" "$dir$f"
            mount -o remount,bind,ro "$dir$f"
        else
            copy_in "$f"
        fi
    done
}

run() {
    [ $# -gt 0 ] || die "run: no command given"
    [ -f "$marker" ] || die "no complete chroot in $dir; run 'scripts/debug-chroot.sh provision' first"
    trap 'unmount_all "$dir"' EXIT
    trap 'exit 130' INT
    trap 'exit 143' TERM
    local m
    for m in proc dev dev/pts src; do mkdir -p "$dir/$m"; done
    mount -t proc proc "$dir/proc"
    mount --bind /dev "$dir/dev"
    mount --bind /dev/pts "$dir/dev/pts"
    mount --bind "$root" "$dir/src"
    copy_host_config
    # A clean environment: the host's PATH, HOME and interpreter settings
    # mean nothing inside.
    local envs=(HOME=/root PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8
                TERM="${TERM:-dumb}")
    local name
    while IFS= read -r name; do
        case "$name" in
            PIP_*|NEROV_*|PYTEST_ADDOPTS|HYPOTHESIS_PROFILE|PYTHONUNBUFFERED|PYTHONDONTWRITEBYTECODE| \
            PYTHONHASHSEED|PYTHONFAULTHANDLER|PYTHONWARNINGS|SSL_CERT_FILE|SSL_CERT_DIR|REQUESTS_CA_BUNDLE| \
            CURL_CA_BUNDLE|http_proxy|https_proxy|no_proxy|HTTP_PROXY|HTTPS_PROXY|NO_PROXY)
                envs+=("$name=${!name}") ;;
        esac
    done < <(compgen -e)
    # Build and environment of the chroot's own interpreter: inside the
    # chroot, not in the clone, which the host's build uses.
    envs+=(NEROV_DEBUG_VENV=/var/cache/nerov/venv-debug NEROV_DEBUG_BUILD_DIR=/var/cache/nerov/build-debug
           NEROV_DEBUG_CHROOT=)
    chroot "$dir" /usr/bin/env -i "${envs[@]}" /bin/bash -c 'cd /src && exec "$@"' bash "$@"
}

case "${1:-}" in
    provision) provision ;;
    run) shift; run "$@" ;;
    *) die "usage: scripts/debug-chroot.sh provision | run CMD [ARG...]" ;;
esac
