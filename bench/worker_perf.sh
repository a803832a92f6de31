#!/bin/sh
# The mount worker as a disk, beside tgtd on the plain image, in one run:
# sequential 128 KiB reads with one outstanding command (iscsi-perf -m 1)
# through tarnwick-worker serving (a) a salted AES-256-XTS container, (b) a
# v3 container of 16384-byte chunks with compression and (c) one without,
# all made from the same FAT32 image, and tgtd serving the image file itself;
# then sequential 128 KiB writes through read-write mounts of (a) and (b) and
# through tgtd writing the plain file.
#
#   bench/worker_perf.sh [SECONDS]     (default 10 seconds per read run)
#
# The reads of (a), (b) and (c) are measured in turn, BENCH_ROUNDS times, so
# that a busy machine disturbs all of them alike; the medians and each v3
# layout's share of the salted one's rate come last.
#
# Needs root (a private mount namespace with a tmpfs over /run/tarnwick,
# where the benchmark's initiator publishes its pid, and tgtd). Environment:
# TW_BUILD_DIR (default build/release), BENCH_SIZE_MB (default 1024),
# BENCH_ROUNDS (default 1), BENCH_READS_ONLY=1 (only the worker's reads),
# BENCH_DIR (default a new folder in /var/tmp; the image and containers need
# about four times the size).
set -eu
if [ "$(id -u)" -ne 0 ]; then
  echo "worker_perf: needs root" >&2
  exit 1
fi
if [ "${TW_BENCH_NAMESPACE:-}" != 1 ]; then
  exec env TW_BENCH_NAMESPACE=1 unshare -m --propagation private "$0" "$@"
fi
mkdir -p /run/tarnwick
mount -t tmpfs -o mode=0755,size=1m tmpfs /run/tarnwick

root=$(cd "$(dirname "$0")/.." && pwd)
build=${TW_BUILD_DIR:-$root/build/release}
seconds=${1:-10}
size_mb=${BENCH_SIZE_MB:-1024}
bin=$build/bin
if [ ! -x "$bin/tarnwick-worker" ] || [ ! -x "$bin/iscsi-io" ] ||
   [ ! -x "$build/bench/bench_salted_container" ]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$build" -j2 --target tarnwick-worker tarnwick-engine iscsi-io \
    bench_salted_container >/dev/null
fi

work=$(mktemp -d "${BENCH_DIR:-/var/tmp}/tw-worker-perf-XXXXXX")
control=$((6000 + $$ % 1000))
tport=$((14260 + $$ % 1000))
worker_pid=
tgtd_pid=
cleanup() {
  [ -n "$worker_pid" ] && kill "$worker_pid" 2>/dev/null && wait "$worker_pid" 2>/dev/null
  if [ -n "$tgtd_pid" ]; then
    tgtadm -C "$control" --lld iscsi --op delete --mode target --tid 1 --force 2>/dev/null || true
    tgtadm -C "$control" --op delete --mode system 2>/dev/null || kill "$tgtd_pid" 2>/dev/null
    wait "$tgtd_pid" 2>/dev/null
  fi
  rm -rf "$work"
}
trap cleanup EXIT INT TERM
mkdir -m 0700 "$work/run"
export XDG_RUNTIME_DIR="$work/run"
password=bench-password

# One image with real data: random bytes, then a FAT32 filesystem over them.
dd if=/dev/urandom of="$work/disk.img" bs=1M count="$size_mb" status=none
mkfs.vfat -F 32 -n BENCH "$work/disk.img" >/dev/null 2>&1
printf '%s' "$password" | "$build/bench/bench_salted_container" "$work/disk.img" "$work/salted.zcx"
# A kind-2 credential request: no current password, the new one.
request() { # $1 kind, $2 current, $3 new
  python3 -c '
import struct, sys
kind, cur, new = int(sys.argv[1]), sys.argv[2].encode(), sys.argv[3].encode()
head = struct.pack("<IIII", kind, 255, len(cur), 0)
if kind == 2:
    head += struct.pack("<I", len(new))
sys.stdout.buffer.write(head + cur + (new if kind == 2 else b""))' "$@"
}
request 2 "" "$password" | "$bin/tarnwick-engine" convert "$work/disk.img" "$work/v3.zcx" 9 fast \
  16384 >/dev/null
request 2 "" "$password" | "$bin/tarnwick-engine" convert "$work/disk.img" "$work/v3off.zcx" 9 \
  off 16384 >/dev/null
cat "$work/disk.img" "$work/salted.zcx" "$work/v3.zcx" "$work/v3off.zcx" >/dev/null

member() { # $1 member of the ready line in $work/ready
  sed -n "s/.*\"$1\":\"\{0,1\}\([^\",}]*\).*/\1/p" "$work/ready"
}
start_worker() { # $1 container, $2 mode
  head -c 80 /dev/zero >"$work/status.bin"
  request 1 "$password" "" | "$bin/tarnwick-worker" serve 0b6c2a1e-6f0d-4c39-8b43-5b2a1f3e9d10 \
    "$1" "$work/status.bin" "$2" >"$work/ready" 2>"$work/worker.log" &
  worker_pid=$!
  # A busy machine may take a while to start the request writer and the worker.
  for _ in $(seq 1 300); do
    [ -s "$work/ready" ] && break
    sleep 0.1
  done
  url="iscsi://tarnwick%$(member chapSecret)@127.0.0.1:$(member port)/$(member target)/0"
}
stop_worker() {
  kill -TERM "$worker_pid"
  wait "$worker_pid" || echo "worker exit status $?"
  worker_pid=
}
# The initiator publishes its own pid before it connects.
as_initiator() {
  sh -c 'echo $$ > /run/tarnwick/initiator.pid; exec "$0" "$@"' "$@"
}
measure_reads() { # $1 URL
  as_initiator iscsi-perf -m 1 -b 256 -t "$seconds" "$1" 2>&1 | tr '\r' '\n' |
    grep 'iops average' | tail -n 1 | sed -e 's/.*iops average/iops average/' -e 's/ *$//'
}
write_mb=$((size_mb < 512 ? size_mb / 2 : 256))
measure_writes() { # $1 URL
  as_initiator "$bin/iscsi-io" "$1" timed-write $((1 << 20)) $((write_mb << 20)) 131072 |
    grep 'write MiB/s'
}

iops() { # the average rate of a measure_reads line
  sed -n 's/iops average[^0-9]*\([0-9.]*\).*/\1/p'
}
median() { # numbers, one a line
  sort -n | awk '{ v[NR] = $1 } END { print NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
rounds=${BENCH_ROUNDS:-1}
echo "image: $size_mb MiB FAT32; reads ${seconds}s of 128 KiB, 1 outstanding; writes $write_mb MiB of 128 KiB"
: >"$work/salted.iops"
: >"$work/v3.iops"
: >"$work/v3off.iops"
for round in $(seq 1 "$rounds"); do
  start_worker "$work/salted.zcx" read-only
  line=$(measure_reads "$url")
  stop_worker
  echo "$line" | iops >>"$work/salted.iops"
  echo "round $round: worker, salted AES-256-XTS, read:      $line"
  start_worker "$work/v3.zcx" read-only
  line=$(measure_reads "$url")
  stop_worker
  echo "$line" | iops >>"$work/v3.iops"
  echo "round $round: worker, v3 16384 compressed, read:     $line"
  start_worker "$work/v3off.zcx" read-only
  line=$(measure_reads "$url")
  stop_worker
  echo "$line" | iops >>"$work/v3off.iops"
  echo "round $round: worker, v3 16384 uncompressed, read:   $line"
done
salted=$(median <"$work/salted.iops")
v3=$(median <"$work/v3.iops")
v3off=$(median <"$work/v3off.iops")
echo "medians of $rounds rounds (iops of 128 KiB): salted $salted, v3 compressed $v3" \
  "($(awk "BEGIN { printf \"%.2f\", $v3 / $salted }") x salted)," \
  "v3 uncompressed $v3off ($(awk "BEGIN { printf \"%.2f\", $v3off / $salted }") x salted)"
[ "${BENCH_READS_ONLY:-}" = 1 ] && exit 0

command -v tgtd >/dev/null 2>&1 || { echo "tgtd: skipped (not installed)"; exit 0; }
cp "$work/disk.img" "$work/tgt.img"
tgtd -f -C "$control" --iscsi portal="127.0.0.1:$tport" >"$work/tgtd.log" 2>&1 &
tgtd_pid=$!
sleep 1
iqn=iqn.2026-01.bench.tarnwick:disk
tgtadm -C "$control" --lld iscsi --op new --mode target --tid 1 -T "$iqn"
tgtadm -C "$control" --lld iscsi --op new --mode logicalunit --tid 1 --lun 1 -b "$work/tgt.img"
tgtadm -C "$control" --lld iscsi --op bind --mode target --tid 1 -I ALL
echo "tgtd, plain image file, read:        $(measure_reads "iscsi://127.0.0.1:$tport/$iqn/1")"

start_worker "$work/salted.zcx" read-write
echo "worker, salted AES-256-XTS, write:  $(measure_writes "$url")"
stop_worker
start_worker "$work/v3.zcx" read-write
echo "worker, v3 16384 compressed, write: $(measure_writes "$url")"
stop_worker
echo "tgtd, plain image file, write:       $(measure_writes "iscsi://127.0.0.1:$tport/$iqn/1")"
