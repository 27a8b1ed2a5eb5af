#!/usr/bin/env bash
# Tests the Debian package in a clean Debian 12 root (as root): installs it
# there with `apt-get install ./twinbay_*.deb`, runs twinbay-cli (--version,
# a compare of two folders, its bash completion), starts the desktop program
# off screen, then removes it and checks that no file of the package is left.
#   scripts/test-package.sh [DEB]    (without DEB it is built by scripts/package.sh)
# The bare root (debootstrap's minbase) is made once and kept as a tarball in
# /var/cache/twinbay-package-root, beside apt's package lists and the packages
# it downloads there, so a later run only unpacks it, refreshes the lists and
# installs from what it already has.
set -euo pipefail
cd "$(dirname "$0")/.."
start=$SECONDS
fail() { echo "package test: $*" >&2; exit 1; }

deb=${1:-}
[ -n "$deb" ] || deb=$(bash scripts/package.sh | tail -n 1)
deb=$(readlink -f "$deb")
[ -f "$deb" ] || fail "no package at $deb"
version=$(dpkg-deb -f "$deb" Version)

# What the package declares: the libraries' packages found by dpkg-shlibdeps.
depends=$(dpkg-deb -f "$deb" Depends)
for lib in libc6 libstdc++6 libqt6widgets6 libqt6svg6 libcurl4 libssh-4 libsqlite3-0 libsecret-1-0 libssl3; do
  [[ ", $depends," == *", $lib "* || ", $depends," == *", $lib,"* ]] || fail "Depends lacks $lib: $depends"
done
# The manual pages read without a warning from groff.
unpacked=$(mktemp -d)
trap 'rm -rf "$unpacked"' EXIT
dpkg-deb -x "$deb" "$unpacked"
for page in "$unpacked"/usr/share/man/man1/*.1.gz; do
  warnings=$(zcat "$page" | groff -k -man -Tutf8 -ww -z 2>&1)
  [ -z "$warnings" ] || fail "$(basename "$page"): $warnings"
done

# The Debian 12 repositories this machine's apt uses (main, its updates and
# security), for debootstrap and for the root's own sources.list.
mapfile -t repos < <(apt-get indextargets --format '$(REPO_URI) $(RELEASE) $(COMPONENT)' \
                       'Identifier: Packages' 'Origin: Debian' | grep -E ' bookworm(-updates|-security)? ' | sort -u)
mirror=$(printf '%s\n' "${repos[@]}" | awk '$2 == "bookworm" { print $1; exit }')
[ -n "$mirror" ] || fail "apt on this machine has no Debian 12 (bookworm) repository"

cache=/var/cache/twinbay-package-root
base=$cache/bookworm-minbase.tar
mkdir -p "$cache/archives/partial" "$cache/lists/partial"
if [ ! -f "$base" ]; then
  echo "package test: making a bare Debian 12 root (once; kept in $base)"
  make_dir=$(mktemp -d "$cache/make.XXXXXX")
  # In a mount namespace of its own: the mounts debootstrap makes in the root
  # never reach the host, even when it fails half way.
  unshare --mount --propagation private -- \
    debootstrap --variant=minbase bookworm "$make_dir/root" "$mirror" >"$make_dir/log" 2>&1 ||
    { tail -n 20 "$make_dir/log" >&2; rm -rf --one-file-system "$make_dir"; fail "debootstrap failed"; }
  rm -rf "$make_dir"/root/var/cache/apt/archives/*.deb "$make_dir"/root/var/lib/apt/lists/*
  tar -C "$make_dir/root" -cf "$make_dir/root.tar" .
  mv "$make_dir/root.tar" "$base"
  rm -rf --one-file-system "$make_dir"
fi

# What goes into the root: the package, apt's sources, the steps to run there.
work=$(mktemp -d)
trap 'rm -rf "$unpacked" "$work"' EXIT
cp "$deb" "$work/"
printf 'deb %s\n' "${repos[@]}" >"$work/sources.list"
cat >"$work/inside.sh" <<'INSIDE'
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive LC_ALL=C.UTF-8 HOME=/root PATH=/usr/sbin:/usr/bin:/sbin:/bin
fail() { echo "package test: $*" >&2; exit 1; }
deb=$1 version=$2
apt-get update -q -o Acquire::Languages=none >/tmp/update.log 2>&1 || { cat /tmp/update.log >&2; fail "apt-get update failed"; }
apt-get install -y -q "/tmp/$deb" >/tmp/install.log 2>&1 || { cat /tmp/install.log >&2; fail "apt-get install failed"; }
dpkg -L twinbay >/tmp/files
installed_in=$SECONDS

# Both programs, with every library they link found.
[ "$(twinbay-cli --version)" = "twinbay-cli $version" ] || fail "twinbay-cli --version: $(twinbay-cli --version)"
! ldd /usr/bin/twinbay /usr/bin/twinbay-cli | grep 'not found' || fail "libraries missing"
# The desktop program starts (off screen, no display here) and keeps running,
# its SVG icons drawn by Qt's SVG icon engine.
set +e
QT_DEBUG_PLUGINS=1 QT_QPA_PLATFORM=offscreen timeout 5 twinbay >/tmp/twinbay.log 2>&1
status=$?
set -e
[ $status -eq 124 ] || { cat /tmp/twinbay.log >&2; fail "twinbay ended with $status within 5 s"; }
grep -q 'libqsvgicon.so" loaded library' /tmp/twinbay.log || fail "Qt's SVG icon engine was not loaded"

# A compare of two local folders, one standing in for the server.
mkdir -p /tmp/here/sub /tmp/there/sub
echo one >/tmp/here/only-here.txt
echo two >/tmp/there/only-there.txt
echo same >/tmp/here/sub/same.txt
cp -p /tmp/here/sub/same.txt /tmp/there/sub/same.txt
set +e
twinbay-cli compare --local /tmp/here --remote-dir /tmp/there --format tsv >/tmp/compare.tsv 2>&1
status=$?
set -e
expected=$(printf 'F\t<\tonly-there.txt\nF\t=\tsub/same.txt\nF\t>\tonly-here.txt')
[ $status -eq 1 ] && [ "$(grep '^F' /tmp/compare.tsv | cut -f1-3 | sort)" = "$expected" ] ||
  { cat /tmp/compare.tsv >&2; fail "compare exited $status with an unexpected result"; }

# The bash completion: commands, sub-commands, options and their values.
complete_words() {  # the words typed (the last one being completed)
  COMP_WORDS=("$@") COMP_CWORD=$(($# - 1)) COMPREPLY=()
  _twinbay_cli 2>/dev/null
  echo "${COMPREPLY[*]}"
}
source /usr/share/bash-completion/completions/twinbay-cli
[ "$(complete_words twinbay-cli con)" = connections ] || fail "completion of con"
[ "$(complete_words twinbay-cli connections re)" = remove ] || fail "completion of connections re"
[ "$(complete_words twinbay-cli sync --local /tmp/here --dry)" = --dry-run ] || fail "completion of --dry"
[ "$(complete_words twinbay-cli compare --format '')" = "text tsv" ] || fail "completion of --format"
[ "$(complete_words twinbay-cli compare --local /tmp/the)" = /tmp/there ] || fail "completion of --local"

# The MIME type is registered (by shared-mime-info's trigger).
[ -f /usr/share/mime/application/x-twinbay-profile.xml ] || fail "MIME type not registered"

apt-get remove -y -q twinbay >/tmp/remove.log 2>&1 || { cat /tmp/remove.log >&2; fail "apt-get remove failed"; }
[ "$(dpkg-query -W -f='${db:Status-Status}' twinbay 2>/dev/null || echo not-installed)" = not-installed ] ||
  fail "twinbay still known to dpkg: $(dpkg-query -W -f='${Status}' twinbay)"
# Every file of the package is gone, and every folder of its own.
while IFS= read -r path; do
  [ -e "$path" ] || continue
  [ -d "$path" ] && dpkg -S "$path" >/dev/null 2>&1 && continue
  fail "left after removal: $path"
done </tmp/files
[ ! -e /usr/share/mime/application/x-twinbay-profile.xml ] || fail "MIME type left registered"
echo "installed $(wc -l </tmp/files) paths with $(grep -c '^Setting up' /tmp/install.log) packages ($installed_in s), ran, removed"
INSIDE

# The root is a fresh copy of the bare one on a tmpfs, in a mount and process
# namespace of its own: it, its mounts and anything left running inside end
# with the namespace, and the host never sees them.
unshare --mount --propagation private --pid --fork -- bash -c '
  set -e
  root=$1/root cache=$2
  mkdir "$root"
  mount -t tmpfs -o mode=0755 twinbay-package-test "$root"
  tar -C "$root" -xf "$cache/bookworm-minbase.tar"
  cp "$1/sources.list" "$root/etc/apt/sources.list"
  cp /etc/resolv.conf "$root/etc/resolv.conf"
  cp "$1/$3" "$1/inside.sh" "$root/tmp/"
  mount -t proc proc "$root/proc"
  mount --bind "$cache/archives" "$root/var/cache/apt/archives"
  mount --bind "$cache/lists" "$root/var/lib/apt/lists"
  exec chroot "$root" /bin/bash /tmp/inside.sh "$3" "$4"' _ "$work" "$cache" "$(basename "$deb")" "$version"
echo "package test passed: $(basename "$deb") in a clean Debian 12 root ($((SECONDS - start)) s)"
