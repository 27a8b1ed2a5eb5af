#!/bin/bash
# The transfer-speed table in one go: each row measured beside its peer in the
# same run (the benchmarks start their own servers on loopback, and the relay
# for the rows 20 ms away).
#   bash bench/table.sh [big-mib=1024]       (as root, for sshd)
#   SFTP 1 GiB down / up, loopback           sftp_bench            vs OpenSSH sftp get / put
#   SFTP 200 x 4 KiB down / up, 20 ms        sftp_bench            vs rclone copy --sftp-disable-hashcheck
#   FTP listing 2,000 files / 111 folders, 20 ms   pool_listing_bench  vs rclone, lftp
#   FTP 5,000 x 4 KiB up into 250 new folders, loopback   new_folders_bench  vs lftp mirror -R
set -euo pipefail
cd "$(dirname "$0")/.."
big=${1:-1024}
build=build/bench
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTWINBAY_BENCH=ON -DTWINBAY_TESTS=OFF >/dev/null
ninja -C "$build" sftp_bench pool_listing_bench new_folders_bench twinbay-cli >/dev/null
echo "== SFTP: 1 GiB down and up on loopback; 200 x 4 KiB down and up 20 ms away"
"$build/bench/sftp_bench" "$big" 10
echo "== FTP: listing 2,000 files in 111 folders 20 ms away"
"$build/bench/pool_listing_bench" 10 far
echo "== FTP: 5,000 x 4 KiB up into 250 new folders on loopback"
"$build/bench/new_folders_bench" 5000 250 2
