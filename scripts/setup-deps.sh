#!/usr/bin/env bash
# Installs what building, testing, the demo and the package need (Debian 12, as root or with sudo).
set -euo pipefail
packages=(build-essential cmake ninja-build libgtest-dev libcurl4-openssl-dev libssl-dev qt6-base-dev qt6-svg-dev
          python3-pyftpdlib vsftpd lftp rclone curl openssl xvfb xauth ccache
          libssh-dev libssh2-1-dev libsqlite3-dev openssh-server openssh-client python3-asyncssh
          libsecret-1-dev gnome-keyring dbus
          dpkg-dev file debootstrap)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -q
  $SUDO apt-get install -y -q "${missing[@]}"
fi

# proftpd and pure-ftpd conflict with vsftpd as Debian packages, so the tests
# run them unpacked (not installed) from a fixed cache folder. Unpacking is
# done once; a complete cache (mod_sftp included) is left alone.
servers_dir=/var/cache/twinbay-ftp-servers
server_debs=(proftpd-core proftpd-mod-crypto pure-ftpd pure-ftpd-common libhiredis0.14 libmemcached11 libmemcachedutil2
             libhashkit2 libpcre2-posix3 libsodium23)
if [ ! -f "$servers_dir/.complete" ] || [ ! -f "$servers_dir/root/usr/lib/proftpd/mod_sftp.so" ]; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO mkdir -p "$servers_dir/debs" "$servers_dir/root"
  (cd "$servers_dir/debs" && $SUDO apt-get download -q "${server_debs[@]}" ||
     { $SUDO apt-get update -q && $SUDO apt-get download -q "${server_debs[@]}"; })
  for deb in "$servers_dir"/debs/*.deb; do $SUDO dpkg -x "$deb" "$servers_dir/root"; done
  test -x "$servers_dir/root/usr/sbin/pure-ftpd" && test -x "$servers_dir/root/usr/sbin/proftpd" &&
    test -f "$servers_dir/root/usr/lib/proftpd/mod_sftp.so"
  $SUDO touch "$servers_dir/.complete"
fi
