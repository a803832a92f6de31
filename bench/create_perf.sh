#!/bin/sh
# Creating a 1 GiB FAT32 AES-256-XTS container with `tarnwick create`, beside
# its peer in the same run: mkfs.vfat on a 1 GiB sparse file followed by
# `tarnwick convert` of that image.
#
# The creation is the whole road: the engine's unnamed raw image served
# through its format target, the broker logging the initiator service in and
# running mkfs.vfat on the disk, then the encryption, verification and
# publishing of the container.
#
#   bench/create_perf.sh [ROUNDS]      (default 3 rounds of each)
#
# Needs root (a private mount namespace with tmpfs over /run/tarnwick,
# /run/media and /var/lib/tarnwick). Environment: TW_BUILD_DIR (default
# build/release), BENCH_DIR (default a new folder in /var/tmp; about 3 GiB).
set -eu
if [ "$(id -u)" -ne 0 ]; then
  echo "create_perf: needs root" >&2
  exit 1
fi
if [ "${TW_BENCH_NAMESPACE:-}" != 1 ]; then
  exec env TW_BENCH_NAMESPACE=1 unshare -m --propagation private "$0" "$@"
fi
for folder in /run/tarnwick /run/media /var/lib/tarnwick; do
  mkdir -p "$folder"
  mount -t tmpfs -o mode=0755 tmpfs "$folder"
done

root=$(cd "$(dirname "$0")/.." && pwd)
build=${TW_BUILD_DIR:-$root/build/release}
rounds=${1:-3}
bin=$build/bin
if [ ! -x "$bin/tarnwick" ] || [ ! -x "$bin/tarnwick-broker" ] ||
   [ ! -x "$bin/tarnwick-initiator" ] || [ ! -x "$bin/tarnwick-engine" ]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$build" -j2 --target tarnwick tarnwick-engine tarnwick-broker \
    tarnwick-initiator >/dev/null
fi

work=$(mktemp -d "${BENCH_DIR:-/var/tmp}/tw-create-perf-XXXXXX")
chmod 0700 "$work"
broker_pid=
cleanup() {
  if [ -n "$broker_pid" ]; then
    kill -TERM "$broker_pid" 2>/dev/null && wait "$broker_pid" 2>/dev/null
  fi
  if [ -s /run/tarnwick/initiator.pid ]; then
    kill -TERM "$(cat /run/tarnwick/initiator.pid)" 2>/dev/null || true
    sleep 1
  fi
  rm -rf "$work"
}
trap cleanup EXIT INT TERM
mkdir -m 0700 "$work/run"
export XDG_RUNTIME_DIR="$work/run" HOME="$work"
printf '{"newPassword":"bench-password","confirmation":"bench-password"}' >"$work/cred.json"
# A plain image has no current password.
printf '{"password":"","newPassword":"bench-password","confirmation":"bench-password"}' \
  >"$work/convert.json"

"$bin/tarnwick-broker" 2>"$work/broker.err" &
broker_pid=$!
for _ in $(seq 1 100); do
  [ -S /run/tarnwick/Tarnwick.Broker ] && break
  sleep 0.1
done

seconds() { # $1 start, $2 end (nanoseconds)
  echo "$1 $2" | awk '{ printf "%.2f", ($2 - $1) / 1e9 }'
}

echo "1 GiB FAT32, AES-256-XTS salted container; $rounds rounds"
for r in $(seq 1 "$rounds"); do
  t0=$(date +%s%N)
  "$bin/tarnwick" create "$work/created.zcx" 1024 fat32 BENCH --credentials-stdin \
    <"$work/cred.json" >/dev/null
  t1=$(date +%s%N)
  truncate -s 1G "$work/plain.img"
  mkfs.vfat -F 32 -n BENCH "$work/plain.img" >/dev/null
  "$bin/tarnwick" convert "$work/plain.img" "$work/converted.zcx" --credentials-stdin \
    <"$work/convert.json" >/dev/null
  t2=$(date +%s%N)
  echo "round $r: tarnwick create $(seconds "$t0" "$t1") s;" \
    "mkfs.vfat + tarnwick convert $(seconds "$t1" "$t2") s"
  rm -f "$work/created.zcx" "$work/plain.img" "$work/converted.zcx"
done
