#!/bin/sh
# Mount and unmount through the per-user mount service, as people do it:
# `tarnwick mount` of a FAT32 container (AES-256-XTS) read-only, from the
# command's start to its end (the volume mounted under /run/media), then
# `tarnwick unmount` of its session. The first mount also starts the
# service; it is not counted. Prints every time and the median of each.
#
#   bench/session_mount.sh [ROUNDS]     (default 10)
#
# Needs root: a private mount namespace with tmpfs over /run and /var/lib,
# where the broker and its initiator run as root; the service and its
# command line run as the user BENCH_UID (default 65534). Environment:
# TW_BUILD_DIR (default build/release), BENCH_SIZE_MB (default 64).
set -eu
if [ "$(id -u)" -ne 0 ]; then
  echo "session_mount: needs root" >&2
  exit 1
fi
if [ "${TW_BENCH_NAMESPACE:-}" != 1 ]; then
  exec env TW_BENCH_NAMESPACE=1 unshare -m --propagation private "$0" "$@"
fi
root=$(cd "$(dirname "$0")/.." && pwd)
build=${TW_BUILD_DIR:-$root/build/release}
rounds=${1:-10}
size=${BENCH_SIZE_MB:-64}
user=${BENCH_UID:-65534}
bin=$build/bin

mount -t tmpfs -o mode=0755 tmpfs /run
mkdir -m 0755 /run/tarnwick
mount -t tmpfs -o mode=0755 tmpfs /var/lib
mkdir -m 0700 /var/lib/tarnwick

work=$(mktemp -d /tmp/tw-session-bench-XXXXXX)
chmod 0755 "$work"
home=$work/home
mkdir -m 0700 "$home" "$home/runtime"
chown -R "$user:$user" "$home"
as_user() {
  setpriv --reuid="$user" --regid="$user" --clear-groups \
    env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME="$home" XDG_DATA_HOME="$home/data" \
    XDG_RUNTIME_DIR="$home/runtime" "$@"
}
broker_pid=
cleanup() {
  as_user "$bin/tarnwick" stop-service >/dev/null 2>&1 || true
  [ -n "$broker_pid" ] && kill "$broker_pid" 2>/dev/null && wait "$broker_pid" 2>/dev/null || true
  if [ -f /run/tarnwick/initiator.pid ]; then kill "$(cat /run/tarnwick/initiator.pid)" || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

truncate -s "${size}M" "$work/plain.img"
mkfs.vfat -F 32 -n BENCH "$work/plain.img" >/dev/null
printf 'bench\n' > "$work/hello.txt"
MTOOLS_SKIP_CHECK=1 mcopy -i "$work/plain.img" "$work/hello.txt" ::/HELLO.TXT
chown "$user:$user" "$work/plain.img"
printf '{"password":"","newPassword":"bench password","confirmation":"bench password"}' |
  as_user "$bin/tarnwick" convert "$work/plain.img" "$home/bench.zcx" --credentials-stdin >/dev/null

"$bin/tarnwick-broker" >/dev/null 2>&1 &
broker_pid=$!
i=0
while [ ! -S /run/tarnwick/Tarnwick.Broker ] && [ $i -lt 100 ]; do sleep 0.1; i=$((i + 1)); done

now_ms() { echo $(($(date +%s%N) / 1000000)); }
median() { sort -n | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
session_id() { sed -n 's/.*"id":"\([0-9a-f-]*\)".*/\1/p' | head -n 1; }

# The first round starts the service and is not counted.
id=$(printf 'bench password' | as_user "$bin/tarnwick" mount "$home/bench.zcx" --password-stdin --json | session_id)
as_user "$bin/tarnwick" unmount "$id" >/dev/null
: > "$work/mount.ms"
: > "$work/unmount.ms"
n=1
while [ $n -le "$rounds" ]; do
  start=$(now_ms)
  id=$(printf 'bench password' | as_user "$bin/tarnwick" mount "$home/bench.zcx" --password-stdin --json | session_id)
  mounted=$(now_ms)
  [ -n "$id" ] || { echo "session_mount: mount failed" >&2; exit 1; }
  as_user "$bin/tarnwick" unmount "$id" >/dev/null
  done_ms=$(now_ms)
  echo $((mounted - start)) >> "$work/mount.ms"
  echo $((done_ms - mounted)) >> "$work/unmount.ms"
  echo "round $n: mount $((mounted - start)) ms, unmount $((done_ms - mounted)) ms"
  n=$((n + 1))
done
echo "median mount: $(median < "$work/mount.ms") ms"
echo "median unmount: $(median < "$work/unmount.ms") ms"
