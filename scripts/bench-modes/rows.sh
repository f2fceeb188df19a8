# shellcheck shell=bash
# One daemon per row for --link and --burst: started with its delivery and an empty spool,
# it runs until its row is measured; the row reads its status file while it runs, and its
# CPU time and peak resident memory (VmHWM, since its start) before it stops.

row_pid=
row_status=$run/nimba_vezidozu.status
row_start() { # qos sink-address program [NAME=value...]: starts it, waits until it relays
  local qos=$1 sink=$2 program=$3
  shift 3
  rm -rf "$spool"
  write_delivery_settings "$qos"
  env "$@" "$program" bench $gateway >/dev/null 2>>"$run/daemon-rows.err" &
  row_pid=$!
  pids+=($row_pid)
  "$load" --mode relay --publish-host $gateway --subscribe-host "$sink" --count 0 --warmup 30 --quiet \
    >/dev/null || { echo "the daemon (QoS $qos) does not pass messages" >&2; exit 1; }
}
row_stop() { # a daemon that ended by itself (no memory figures: gone or a zombie) fails the bench
  [ "$(proc_status_kb "$row_pid" VmHWM)" -gt 0 ] || { echo "the daemon ended during the row" >&2; exit 1; }
  kill "$row_pid" 2>/dev/null; wait "$row_pid" 2>/dev/null || true
  forget_pid "$row_pid"
  row_pid=
}
# The most documents awaiting a PUBACK and in the spool so far in the row, from its status
# file (written at most once a second).
peak_window=0 peak_spool=0
row_sample() {
  local k v
  [ -r "$row_status" ] || return 0
  while IFS='=' read -r k v; do
    case $k in
      AWAITING_PUBACK) if [ "${v:-0}" -gt "$peak_window" ]; then peak_window=$v; fi ;;
      SPOOL_DOCUMENTS) if [ "${v:-0}" -gt "$peak_spool" ]; then peak_spool=$v; fi ;;
    esac
  done < "$row_status"
  return 0
}
# Until the daemon has nothing waiting (the status file's WAITING is 0), at most seconds.
row_settled() { # seconds
  local n=0
  while [ "$(status_value "$row_status" WAITING)" != 0 ] && [ $n -lt $(($1 * 4)) ]; do
    sleep 0.25
    n=$((n + 1))
  done
}
# Milliseconds of CPU per 1 000 documents.
cpu_per_k() { # ticks documents
  awk -v t="$1" -v hz="$(getconf CLK_TCK)" -v n="$2" \
    'BEGIN { if (n > 0) printf "%.2f", t / hz * 1e6 / n; else print "-" }'
}
# a / b with two decimals, "-" when b is not above 0.
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b + 0 > 0) printf "%.2f", a / b; else print "-" }'; }
# "ok" when the documents missing at the cloud are those the counters say were dropped.
counted() { # missing counted
  if [ "$1" = "$2" ]; then echo ok; else echo "NO"; fi
}
