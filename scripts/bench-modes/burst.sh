# shellcheck shell=bash
# scripts/bench --burst [N], sourced by scripts/bench in a network namespace of its own once
# the brokers run: N documents of NIMBA_BENCH_BURST_SIZE bytes (default 40) published flat
# out on the gateway broker, a mosquitto with its default max_queued_messages (1 000: what it
# holds beyond that for a subscriber that does not read, it drops, logging "Outgoing messages
# are being dropped for client CID."), through the shipped daemon at QoS 0 and with
# NIMBA_QOS=1, and the build NIMBA_BENCH_BASELINE names with NIMBA_QOS=1 (an older one, in
# the same rounds), one after the other in each of NIMBA_BENCH_REPEAT rounds (default 3);
# the gateway broker starts afresh for every row. Each row: the numbers missing at the cloud
# against the drops counted (the gateway broker's $SYS/broker/publish/messages/dropped, the
# relay being its only subscriber, and the daemon's DROPPED), the broker's log lines about
# it, the rate at the cloud (documents received over the time from the first send to the
# last receipt), the most documents in the spool, how long the relay held the gateway back
# for the spool (GATEWAY_HELD_MS), the daemon's CPU per 1 000 documents and its peak
# resident memory (VmHWM); then each QoS 1 rate against QoS 0's in each round.
. "$modes/rows.sh"

gateway_default() { # a new gateway broker: mosquitto's default queue limit, $SYS every second
  kill "$gateway_pid" 2>/dev/null; wait "$gateway_pid" 2>/dev/null || true
  forget_pid "$gateway_pid"
  start_broker "$run" gateway $gateway "set_tcp_nodelay true" "sys_interval 1"
  gateway_pid=${pids[-1]}
  wait_port $gateway 1883
}

size=${NIMBA_BENCH_BURST_SIZE:-40}
case $size in '' | *[!0-9]*) echo "NIMBA_BENCH_BURST_SIZE must be a number" >&2; exit 2 ;; esac
declare -A burst_rate
hwm_max=0
burst_row() { # round path (qos0, qos1, or base: the baseline at QoS 1)
  local path=$2 qos=${2#qos} program=$daemon out=$run/burst-$2.out line cpu0 ticks hwm n=0 received lost
  local gateway_dropped dropped held
  if [ "$path" = base ]; then qos=1 program=$NIMBA_BENCH_BASELINE; fi
  peak_window=0 peak_spool=0
  gateway_default
  # The bench's pass, spool and status file also for a baseline built as nimba_vezidozu_bench.
  row_start "$qos" $cloud "$program" NIMBA_BENCH_SPOOL_PATH="$spool" NIMBA_BENCH_STATUS_PATH="$row_status"
  cpu0=$(proc_ticks "$row_pid")
  "$load" --mode relay --publish-host $gateway --subscribe-host $cloud --count "$burst" --rate 0 --size "$size" \
    --time-limit 120 --drain 120 --warmup 10 --quiet > "$out" 2>&1 &
  gen=$!
  while kill -0 "$gen" 2>/dev/null && [ $n -lt 1500 ]; do
    sleep 0.2
    row_sample
    n=$((n + 1))
  done
  wait "$gen" || { gen=; echo "generator failed:" >&2; cat "$out" >&2; exit 1; }
  gen=
  row_settled 10
  sleep 1.2 # the broker's $SYS figures and the status file are a second old at most
  gateway_dropped=$(mosquitto_sub -h $gateway -t '$SYS/broker/publish/messages/dropped' -C 1 -W 5 2>/dev/null ||
    echo -)
  dropped=$(status_value "$row_status" DROPPED)
  held=$(status_value "$row_status" GATEWAY_HELD_MS)
  ticks=$(($(proc_ticks "$row_pid") - cpu0))
  hwm=$(proc_status_kb "$row_pid" VmHWM)
  row_stop
  line=$(grep '^mode=' "$out")
  received=$(kv "$line" received) lost=$(kv "$line" lost)
  burst_rate[$1 $path]=$(kv "$line" throughput)
  if [ "$path" != base ] && [ "$hwm" -gt "$hwm_max" ]; then hwm_max=$hwm; fi
  printf '%-5s %7s %7s %6s %4s %4s %7s %5s %7s %4s %7s %6s %6s %7s %6s\n' "$path" "$(kv "$line" sent)" \
    "$received" "$lost" "$(kv "$line" duplicated)" "$(kv "$line" reordered)" "$gateway_dropped" \
    "$(grep -c 'Outgoing messages are being dropped for client CID\.' "$run/gateway.log" || true)" \
    "${dropped:--}" "$(counted "$lost" "$((${gateway_dropped//-/0} + ${dropped:-0}))")" \
    "$(kv "$line" throughput)" "$peak_spool" "${held:--}" "$(cpu_per_k "$ticks" "$received")" "$hwm"
}

paths=(qos0 qos1)
[ -n "${NIMBA_BENCH_BASELINE:-}" ] && paths+=(base)
echo "== burst: $burst documents of $size bytes flat out, the gateway broker with its default queue limit" \
  "($(date -u '+%Y-%m-%d %H:%M UTC'), load average before: $(cut -d' ' -f1-3 /proc/loadavg))"
echo "   qos0, qos1: the shipped daemon; base: NIMBA_BENCH_BASELINE at QoS 1"
echo "   lost: sent and never arrived; gw drop: dropped by the gateway broker (its counter), log:"
echo "   its log lines for the relay (client CID); dropped: the daemon's count; counted: ok when"
echo "   both counts add up to the lost; cloud/s: documents received over the time from the first"
echo "   send to the last receipt; spool: the most documents in it; held: ms the relay held the"
echo "   gateway back for the spool; cpu in ms per 1 000 documents; hwm the daemon's peak resident"
echo "   memory in KiB"
printf '%-5s %7s %7s %6s %4s %4s %7s %5s %7s %4s %7s %6s %6s %7s %6s\n' path sent recv lost dup ord "gw drop" \
  log dropped "" cloud/s spool held cpu/1k hwm
rounds=${NIMBA_BENCH_REPEAT:-3}
ratios='' base_ratios=''
for ((round = 0; round < rounds; round++)); do
  for path in "${paths[@]}"; do burst_row $round "$path"; done
  ratios+=" $(ratio "${burst_rate[$round qos1]}" "${burst_rate[$round qos0]}")"
  if [ -n "${NIMBA_BENCH_BASELINE:-}" ]; then
    base_ratios+=" $(ratio "${burst_rate[$round base]}" "${burst_rate[$round qos0]}")"
  fi
done
echo "QoS 1 / QoS 0 rate at the cloud in each round:$ratios (median $(echo "$ratios" | median);" \
  "target at least 0.6); the shipped daemon's peak resident memory at most $hwm_max KiB (at most 6 144)"
[ -z "$base_ratios" ] ||
  echo "the baseline's QoS 1 / QoS 0 in each round:$base_ratios (median $(echo "$base_ratios" | median))"
echo "($(date -u '+%Y-%m-%d %H:%M UTC'), load average after: $(cut -d' ' -f1-3 /proc/loadavg))"
