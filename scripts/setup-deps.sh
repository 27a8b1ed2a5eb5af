#!/usr/bin/env bash
# Installs what building, testing and the demo need (Debian 12, as root or with sudo).
set -euo pipefail
packages=(build-essential cmake ninja-build libgtest-dev libcurl4-openssl-dev qt6-base-dev
          python3-pyftpdlib vsftpd lftp rclone curl xvfb xauth)
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
