#!/bin/sh
# Sequential 128 KiB reads with one outstanding command (iscsi-perf -m 1)
# against Tarnwick's target (target-serve, Release build) and, in the same run
# and on the same file, Debian's tgtd. Prints one line per target.
#
#   bench/iscsi_perf.sh [SECONDS]      (default 10 seconds per target)
#
# Environment: TW_BUILD_DIR (default build/release), BENCH_SIZE_MB (default
# 512). tgtd needs root; without it only our target is measured.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${TW_BUILD_DIR:-$root/build/release}
seconds=${1:-10}
size_mb=${BENCH_SIZE_MB:-512}
iqn=iqn.2026-01.bench.tarnwick:disk

if [ ! -x "$build/bin/target-serve" ]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$build" -j2 --target target-serve >/dev/null
fi

work=$(mktemp -d)
control=$((5000 + $$ % 1000))
tport=$((13260 + $$ % 1000))
serve_pid=
tgtd_pid=
cleanup() {
  [ -n "$serve_pid" ] && kill "$serve_pid" 2>/dev/null && wait "$serve_pid" 2>/dev/null
  if [ -n "$tgtd_pid" ]; then
    # tgtd leaves only through its management channel once it has targets.
    tgtadm -C "$control" --lld iscsi --op delete --mode target --tid 1 --force 2>/dev/null || true
    tgtadm -C "$control" --op delete --mode system 2>/dev/null || kill "$tgtd_pid" 2>/dev/null
    wait "$tgtd_pid" 2>/dev/null
  fi
  rm -rf "$work"
}
trap cleanup EXIT INT TERM

# A plain file with real data, read once so both targets find it cached.
dd if=/dev/urandom of="$work/disk.img" bs=1M count="$size_mb" status=none
cat "$work/disk.img" >/dev/null

# iscsi-perf prints progress lines separated by carriage returns; keep the
# final average.
measure() {
  iscsi-perf -m 1 -b 256 -t "$seconds" "$1" 2>&1 | tr '\r' '\n' |
    grep 'iops average' | tail -n 1 | sed -e 's/.*iops average/iops average/' -e 's/ *$//'
}

# Throwaway secret for this run; libiscsi takes it in the URL.
secret=$(od -An -N8 -tx1 /dev/urandom | tr -d ' \n')
printf '%s\n' "$secret" | "$build/bin/target-serve" "$work/disk.img" "$iqn" bench \
  >"$work/port" &
serve_pid=$!
for _ in 1 2 3 4 5 6 7 8 9 10; do
  [ -s "$work/port" ] && break
  sleep 0.2
done
port=$(cat "$work/port")
echo "tarnwick target-serve (1 outstanding, 128 KiB): $(measure "iscsi://bench%$secret@127.0.0.1:$port/$iqn/0")"
kill "$serve_pid"
wait "$serve_pid" 2>/dev/null || true
serve_pid=

if [ "$(id -u)" -ne 0 ] || ! command -v tgtd >/dev/null 2>&1; then
  echo "tgtd: skipped (needs root and the tgt package)"
  exit 0
fi
tgtd -f -C "$control" --iscsi portal="127.0.0.1:$tport" >"$work/tgtd.log" 2>&1 &
tgtd_pid=$!
sleep 1
tgtadm -C "$control" --lld iscsi --op new --mode target --tid 1 -T "$iqn"
tgtadm -C "$control" --lld iscsi --op new --mode logicalunit --tid 1 --lun 1 -b "$work/disk.img"
tgtadm -C "$control" --lld iscsi --op bind --mode target --tid 1 -I ALL
echo "tgtd                        (1 outstanding, 128 KiB): $(measure "iscsi://127.0.0.1:$tport/$iqn/1")"
