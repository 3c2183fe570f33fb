#!/usr/bin/env bash
# Idle resident set of lumbra-ftpd against its targets: TLS off, TLS offered
# on a first start (the certificate is generated) and on a later start (it is
# loaded). Each run gets a fresh settings folder, as a new user would.
# Usage: bench/idle_rss.sh [path/to/lumbra-ftpd]   (default build/lumbra-ftpd)
set -euo pipefail
binary=${1:-build/lumbra-ftpd}
[ -x "$binary" ] || { echo "no executable $binary (bash tools/build.sh default)" >&2; exit 2; }
work=$(mktemp -d)
pid=
trap '[ -n "$pid" ] && kill "$pid" 2> /dev/null; rm -rf "$work"' EXIT
failed=0

# Starts the server in settings folder $1 with the remaining options, waits
# (at most 60 s) until it has printed its last start line, prints VmRSS in KiB
# and stops it.
idle_rss_kib() {
    local settings=$1 last=$2
    shift 2
    mkdir -p "$settings/home"
    HOME=$settings XDG_CONFIG_HOME=$settings/cfg "$binary" --bind 127.0.0.1 --port 0 \
        --home "$settings/home" --anonymous "$@" > "$work/out" 2> "$work/err" &
    pid=$!
    for _ in $(seq 600); do
        grep -q "^$last" "$work/out" && break
        kill -0 "$pid" 2> /dev/null || { cat "$work/err" >&2; exit 1; }
        sleep 0.1
    done
    grep -q "^$last" "$work/out" || { echo "no start line '$last'" >&2; exit 1; }
    awk '/^VmRSS:/ { print $2 }' "/proc/$pid/status"
    kill "$pid"
    wait "$pid" || true
    pid=
}

report() {
    local what=$1 kib=$2 limit_mib=$3 verdict=ok
    [ "$kib" -le $((limit_mib * 1024)) ] || { verdict=OVER; failed=1; }
    printf '%-28s %6d KiB  %5.2f MiB  (target <= %d MiB) %s\n' "$what" "$kib" \
        "$(echo "$kib / 1024" | bc -l)" "$limit_mib" "$verdict"
}

report "TLS off" "$(idle_rss_kib "$work/off" "passive ports" --tls off)" 6
report "TLS offered, first start" "$(idle_rss_kib "$work/on" "tls offered" --tls offered)" 8
report "TLS offered, later start" "$(idle_rss_kib "$work/on" "tls offered" --tls offered)" 8
exit $failed
