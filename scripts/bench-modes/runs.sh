# shellcheck shell=bash
# The relays of the bench, one running at a time, and one measured run of the load
# generator through one of them (run_one, a row of the relay table). Sourced by
# scripts/bench for every mode but --profile; starts the daemon and measures its idle CPU.

# The send buffer of a path buf<size>: buf0 the system's, buf64k 65536 bytes.
buffer_path() { # bytes
  if [ "$1" -gt 0 ] && [ $(($1 % 1024)) -eq 0 ]; then echo "buf$(($1 / 1024))k"; else echo "buf$1"; fi
}
buffer_bytes() { # path
  local size=${1#buf}
  case $size in *k) echo $(( ${size%k} * 1024 )) ;; *) echo "$size" ;; esac
}
# Relay figures from /proc, read without starting processes (the sampling runs during load).
cpu_ticks() { proc_ticks "${1:-$daemon_pid}"; } # [pid] of the running relay (or of the process pid)
rss=0
read_rss() { # sets rss to the running relay's VmRSS in KiB
  local k v _
  rss=0
  [ -r "/proc/$daemon_pid/status" ] || return 0
  while read -r k v _; do
    [ "$k" = "VmRSS:" ] && { rss=$v; return 0; }
  done < "/proc/$daemon_pid/status"
  return 0
}
spooled_peak=0
read_spooled() { # raises spooled_peak to the documents the shipped daemon's spool holds now
  local k v
  [ -r "$run/nimba_vezidozu.status" ] || return 0
  while IFS='=' read -r k v; do
    if [ "$k" = SPOOL_DOCUMENTS ]; then
      [ "${v:-0}" -gt "$spooled_peak" ] && spooled_peak=$v
      return 0
    fi
  done < "$run/nimba_vezidozu.status"
  return 0
}
declare -A runs_cpu runs_thr runs_lost runs_rel runs_spooled runs_hwm
relay_figure=
hz=$(getconf CLK_TCK)
mkfifo "$run/tick" 2>/dev/null || true
exec {tick}<>"$run/tick"

# The relays of the main runs, one running at a time (each would relay every message): this
# daemon ("relay"), the build NIMBA_BENCH_BASELINE names ("base"), and the bare forwarder
# between the same brokers ("forward"), the least any relay there adds.
relay_paths=(relay)
[ -n "${NIMBA_BENCH_BASELINE:-}" ] && relay_paths+=(base)
[ -n "$forward" ] && relay_paths+=(forward)
# --delivery: the daemon as shipped (relay), with other send buffers (buf...), with
# NIMBA_QOS=1 (qos1); nothing else, so that the rounds stay short.
if [ $delivery -eq 1 ]; then
  relay_paths=(relay)
  for bytes in 0 ${NIMBA_BENCH_SNDBUF:-}; do relay_paths+=("$(buffer_path "$bytes")"); done
  relay_paths+=(qos1)
  rm -rf "$spool"
fi
relay_now= daemon_pid= idle_rss=0
load_mode() { case $1 in direct | forward) echo "$1" ;; *) echo relay ;; esac; }
# With NIMBA_BENCH_RT=1 the runs at a fixed rate give the brokers, the relay and the
# generator real-time priority, so that other work on the machine does not delay them:
# the latency of the chain itself. Flat-out runs always run at normal priority.
priority=normal
set_priority() { # normal|rt: for the brokers and the running relay
  local policy=(-o -p 0) pid
  [ "$1" = rt ] && policy=(-f -p 10)
  priority=$1
  for pid in "$gateway_pid" "$cloud_pid" "$direct_pid" $daemon_pid; do
    chrt -a "${policy[@]}" "$pid" >/dev/null 2>&1 || true
  done
}
at_priority() { # command...: runs it at the current priority
  if [ "$priority" = rt ]; then chrt -f 10 "$@"; else "$@"; fi
}
# The spool path (the delivery's own runs): the daemon with NIMBA_QOS=1, a pause of a second
# between passes, and the status file spool_status names (empty: none).
spool_status=
clear_spool() { # empties the spool folder, saying what an earlier relay left there
  local line
  if [ -d "$spool" ]; then
    line=$("$spool_count" "$spool")
    [ "$(kv "$line" records)" = 0 ] || echo "   (the spool held what a relay left: $line)"
  fi
  rm -rf "$spool"
}
stop_relay() {
  if [ -n "$daemon_pid" ]; then kill "$daemon_pid" 2>/dev/null; wait "$daemon_pid" 2>/dev/null || true; fi
  daemon_pid= relay_now=
}
start_relay() { # path: stops the running relay, starts this one, waits until it relays
  [ "$relay_now" = "$1" ] && return 0
  stop_relay
  # With --delivery and --drain the relays differ in their settings too.
  if [ $delivery -eq 1 ] || [ "$drain" -gt 0 ]; then
    case $1 in qos1 | spool) write_delivery_settings 1 ;; *) write_delivery_settings 0 ;; esac
  fi
  case $1 in
    qos1 | spool) clear_spool ;;
  esac
  case $1 in
    relay | qos1) "$daemon" bench $gateway >/dev/null 2>>"$run/daemon.err" & ;;
    base) "$NIMBA_BENCH_BASELINE" bench $gateway >/dev/null 2>>"$run/daemon-base.err" & ;;
    forward) "$forward" $gateway $cloud 2>>"$run/forward.err" & ;;
    buf*) NIMBA_BENCH_SEND_BUFFER=$(buffer_bytes "$1") "$bench_daemon" bench $gateway >/dev/null \
      2>>"$run/daemon-$1.err" & ;;
    spool) NIMBA_BENCH_PAUSE=1 NIMBA_BENCH_STATUS_PATH=$spool_status "$bench_daemon" bench $gateway \
      >/dev/null 2>>"$run/daemon-spool.err" & ;;
  esac
  daemon_pid=$!
  pids+=($daemon_pid)
  relay_now=$1
  set_priority "$priority"
  "$load" --mode "$(load_mode "$1")" --publish-host $gateway --subscribe-host $cloud --count 0 \
    --warmup 20 --quiet >/dev/null || { echo "the relay ($1) does not pass messages" >&2; exit 1; }
  read_rss
  idle_rss=$rss
}

echo "== starting the daemon: nimba_vezidozu bench $gateway (trace to /dev/null)"
start_relay relay
daemon_idle_rss=$idle_rss
# CPU the daemon uses with nothing to relay, over 3 s.
idle0=$(cpu_ticks)
sleep 3
idle_cpu=$(awk -v t=$(( $(cpu_ticks) - idle0 )) -v hz="$hz" 'BEGIN { printf "%.1f", t / hz * 1000 / 3 }')

rows=()
declare -A direct_throughput
run_one() { # path rate size count (path: direct or one of relay_paths)
  local mode=$1 rate=$2 size=$3 count=$4 host=$direct broker=$direct_pid line cpu0 cpu1 peak n=0
  local broker0 broker1 out=$run/$1-$2-$3.out
  [ "$mode" != direct ] && host=$gateway broker=$gateway_pid && start_relay "$mode"
  cpu0=$(cpu_ticks)
  broker0=$(cpu_ticks "$broker")
  read_rss
  peak=$rss
  at_priority "$load" --mode "$(load_mode "$mode")" --publish-host $host --subscribe-host $cloud \
    --count "$count" --rate "$rate" --size "$size" --time-limit 30 --drain 10 --warmup 10 \
    > "$out" 2>&1 &
  gen=$!
  # Peak memory: sample every 50 ms while the generator runs (it stops within ~55 s); with
  # NIMBA_QOS=1 also the most documents the spool held.
  spooled_peak=0
  while kill -0 "$gen" 2>/dev/null && [ $n -lt 2400 ]; do
    read_rss
    [ "$rss" -gt "$peak" ] && peak=$rss
    [ "$mode" = qos1 ] && read_spooled
    read -r -t 0.05 -u "$tick" _ || true
    n=$((n + 1))
  done
  wait "$gen" || { gen=; echo "generator failed:" >&2; cat "$out" >&2; exit 1; }
  gen=
  kill -0 "$daemon_pid" 2>/dev/null || { echo "the relay ($relay_now) died during the run" >&2; exit 1; }
  cpu1=$(cpu_ticks)
  broker1=$(cpu_ticks "$broker")
  line=$(grep '^mode=' "$out")
  sed -n '1,/^mode=/p' "$out" | grep -v '^mode=' | sed 's/^/   /'
  local received cpu_per_k="-" memory="-" ratio="-" thr broker_per_k
  received=$(kv "$line" received)
  thr=$(kv "$line" throughput)
  broker_per_k=$(awk -v t=$((broker1 - broker0)) -v hz="$hz" -v n="$received" \
    'BEGIN { if (n > 0) printf "%.2f", t / hz * 1000 * 1000 / n; else print "-" }')
  if [ "$mode" != direct ]; then
    cpu_per_k=$(awk -v t=$((cpu1 - cpu0)) -v hz="$hz" -v n="$received" \
      'BEGIN { if (n > 0) printf "%.2f", t / hz * 1000 * 1000 / n; else print "-" }')
    memory="$idle_rss/$peak"
    ratio=$(awk -v a="$thr" -v b="${direct_throughput[$rate-$size]:-0}" \
      'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }')
    last_ratio=$ratio
  else
    direct_throughput[$rate-$size]=$thr
  fi
  # The delivery's summary: each run's figures by path, size and rate, and each relay's
  # figure against the shipped daemon's run just before it in the same round: throughput
  # flat out, CPU per message at a fixed rate.
  if [ $delivery -eq 1 ] && [ "$mode" != direct ]; then
    runs_cpu[$mode $size $rate]+=" $cpu_per_k"
    runs_thr[$mode $size $rate]+=" $thr"
    runs_lost[$mode $size $rate]+=" $(kv "$line" lost)/$(kv "$line" duplicated)/$(kv "$line" reordered)"
    runs_hwm[$mode $size $rate]+=" $(proc_status_kb "$daemon_pid" VmHWM)"
    local figure=$thr
    [ "$rate" = 0 ] || figure=$cpu_per_k
    if [ "$mode" = relay ]; then
      relay_figure=$figure
    else
      runs_rel[$mode $size $rate]+=" $(awk -v a="$figure" -v b="${relay_figure:-0}" \
        'BEGIN { if (b > 0) printf "%.3f", a / b; else print "-" }')"
    fi
    if [ "$mode" = qos1 ]; then runs_spooled[$size $rate]+=" $spooled_peak"; fi
  fi
  local rate_text=$rate
  [ "$rate" = 0 ] && rate_text=max
  rows+=("$(printf '%-7s %5s %6s %6s %6s %6s %4s %4s %4s %7s %5s %8s %8s %8s %8s %6s %7s %7s %s' \
    "$mode" "$size" "$rate_text" "$(kv "$line" sent)" "$received" "$(kv "$line" lost)" \
    "$(kv "$line" duplicated)" "$(kv "$line" malformed)" "$(kv "$line" reordered)" "$thr" "$ratio" \
    "$(kv "$line" p50_us)" "$(kv "$line" p90_us)" "$(kv "$line" p99_us)" \
    "$(kv "$line" max_us)" "$(kv "$line" late_max_us)" "$cpu_per_k" "$broker_per_k" "$memory")")
}

