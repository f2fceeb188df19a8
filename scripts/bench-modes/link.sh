# shellcheck shell=bash
# scripts/bench --link [S], sourced by scripts/bench in a network namespace of its own once
# the brokers run: the cloud broker behind a slow link, a delaying TCP proxy
# (nimba_delay_proxy) on the cloud's address that holds every chunk for half the round trip
# in each direction. The shipped daemon at QoS 0 and with NIMBA_QOS=1, one after the other:
# - steady: NIMBA_BENCH_LINK_RATE msg/s (default 500) through a 100 ms round trip for the
#   outage's length, at most 60 s, in NIMBA_BENCH_REPEAT rounds (default 3): the sink's
#   rate against the sent rate, latency, what was still on its way when the run ended, the
#   most documents awaiting a PUBACK and in the spool;
# - outage: NIMBA_BENCH_DRAIN_RATE msg/s (default 100) through a 300 ms round trip, the
#   cloud away for S seconds while the flow goes on (a routing rule refuses the proxy's
#   address and the proxy restarts, so the link ends at once); once the cloud is back, the
#   time until the flow has caught up: a document published after the return arrives less
#   than a second after it was sent, so everything older has arrived and the spool and the
#   queue hold less than a second's worth. The flow goes on until 5 s after that, or at most
#   S/2 + 60 s. These rows run the shipped code with a pause of 1 s between passes
#   (nimba_vezidozu_bench), so that it meets the returned cloud within a second.
# Every row: the numbers not arrived against the daemon's counters, its CPU per 1 000
# documents and its peak resident memory (VmHWM).
. "$modes/rows.sh"
steady_rate=${NIMBA_BENCH_LINK_RATE:-500} drain_rate=${NIMBA_BENCH_DRAIN_RATE:-100}
for rate in "$steady_rate" "$drain_rate"; do
  case "$rate" in '' | *[!0-9]*) echo "the rates must be numbers" >&2; exit 2 ;; esac
  [ "$rate" -ge 1 ] && [ "$rate" -le 10000 ] || { echo "the rates must be 1 to 10 000" >&2; exit 2; }
done
steady_rtt=100 drain_rtt=300 lead_s=10 tail_s=$((link / 2 + 60))
steady_s=$((link < 60 ? link : 60))

proxy_pid= proxy_rtt=0
proxy_start() { # round trip in ms
  "$delay_proxy" $cloud:1883 $cloud_sink:1883 $(($1 / 2)) 2>>"$run/proxy.err" &
  proxy_pid=$!
  pids+=($proxy_pid)
  proxy_rtt=$1
}
proxy_stop() {
  kill "$proxy_pid" 2>/dev/null; wait "$proxy_pid" 2>/dev/null || true
  forget_pid "$proxy_pid"
}
# Ends the daemon's link at once: a new proxy (outage_begin's rule keeps it unreachable).
cut_link() { proxy_stop; proxy_start "$proxy_rtt"; }

declare -A steady_ratio steady_p99
hwm_max=0
# One steady row: prints it, keeps the sink/sent ratio and p99 by delivery.
link_steady() { # qos
  local qos=$1 out=$run/link-steady-$1.out line cpu0 ticks hwm n=0 received sent_rate sink_rate
  peak_window=0 peak_spool=0
  row_start "$qos" $cloud_sink "$daemon"
  cpu0=$(proc_ticks "$row_pid")
  "$load" --mode relay --publish-host $gateway --subscribe-host $cloud_sink --count $((steady_rate * steady_s)) \
    --rate "$steady_rate" --size 40 --time-limit $((steady_s + 30)) --drain 10 --warmup 10 --quiet \
    > "$out" 2>&1 &
  gen=$!
  while kill -0 "$gen" 2>/dev/null && [ $n -lt $(((steady_s + 60) * 2)) ]; do
    sleep 0.5
    row_sample
    n=$((n + 1))
  done
  wait "$gen" || { gen=; echo "generator failed:" >&2; cat "$out" >&2; exit 1; }
  gen=
  ticks=$(($(proc_ticks "$row_pid") - cpu0))
  hwm=$(proc_status_kb "$row_pid" VmHWM)
  row_stop
  line=$(grep '^mode=' "$out")
  received=$(kv "$line" received) sent_rate=$(kv "$line" send_rate) sink_rate=$(kv "$line" throughput)
  steady_ratio[$qos]+=" $(ratio "$sink_rate" "$sent_rate")"
  steady_p99[$qos]+=" $(awk -v u="$(kv "$line" p99_us)" 'BEGIN { printf "%.0f", u / 1000 }')"
  [ "$hwm" -gt "$hwm_max" ] && hwm_max=$hwm
  printf '%-5s %4s %5s %6s %6s %6s %4s %4s %7s %7s %5s %7s %7s %4s %6s %7s %6s\n' "qos$qos" "$steady_rtt" \
    "$steady_rate" "$(kv "$line" sent)" "$received" "$(kv "$line" lost)" "$(kv "$line" duplicated)" \
    "$(kv "$line" reordered)" "$sent_rate" "$sink_rate" "$(ratio "$sink_rate" "$sent_rate")" \
    "$(awk -v u="$(kv "$line" p50_us)" 'BEGIN { printf "%.1f", u / 1000 }')" \
    "$(awk -v u="$(kv "$line" p99_us)" 'BEGIN { printf "%.1f", u / 1000 }')" "$peak_window" "$peak_spool" \
    "$(cpu_per_k "$ticks" "$received")" "$hwm"
}

declare -A caught_up
# One outage row: prints it, keeps the time to catch up by delivery.
link_outage() { # qos
  local qos=$1 out=$run/link-outage-$1.out line cpu0 ticks hwm rss n=0 total received left dropped waiting
  peak_window=0 peak_spool=0
  row_start "$qos" $cloud_sink "$bench_daemon" NIMBA_BENCH_PAUSE=1 NIMBA_BENCH_STATUS_PATH="$row_status"
  cpu0=$(proc_ticks "$row_pid")
  total=$((drain_rate * (lead_s + link + tail_s)))
  "$load" --mode relay --publish-host $gateway --subscribe-host $cloud_sink --count $total \
    --rate "$drain_rate" --size 40 --time-limit $((lead_s + link + tail_s)) --after-mark 5 --drain 30 \
    --warmup 10 --quiet > "$out" 2>&1 &
  gen=$!
  # The flow for lead_s seconds before the cloud goes.
  until [ "$(status_value "$row_status" RECEIVED)" -ge $((drain_rate * lead_s)) ] 2>/dev/null ||
    [ $n -ge $(((lead_s + 30) * 2)) ]; do
    sleep 0.5
    n=$((n + 1))
  done
  outage_begin cut_link
  for ((n = 1; n <= link; n++)); do
    sleep 1
    row_sample
    if [ $((n % 60)) -eq 0 ]; then
      rss=$(proc_status_kb "$row_pid" VmRSS)
      echo "   qos$qos, $n s away: received $(status_value "$row_status" RECEIVED), waiting" \
        "$(status_value "$row_status" WAITING), dropped $(status_value "$row_status" DROPPED); resident $rss KiB"
    fi
  done
  outage_end
  kill -USR1 "$gen" 2>/dev/null || true
  wait_port $cloud 1883
  n=0
  while kill -0 "$gen" 2>/dev/null && [ $n -lt $(((tail_s + 60) * 2)) ]; do
    sleep 0.5
    row_sample
    n=$((n + 1))
  done
  wait "$gen" || { gen=; echo "generator failed:" >&2; cat "$out" >&2; exit 1; }
  gen=
  row_settled 10
  ticks=$(($(proc_ticks "$row_pid") - cpu0))
  hwm=$(proc_status_kb "$row_pid" VmHWM)
  dropped=$(status_value "$row_status" DROPPED) waiting=$(status_value "$row_status" WAITING)
  line=$(grep '^mode=' "$out")
  received=$(kv "$line" received) left=$(kv "$line" lost)
  printf '%-5s %4s %5s %5s %6s %6s %6s %4s %4s %8s %7s %7s %6s %6s %7s %6s\n' "qos$qos" "$drain_rtt" \
    "$drain_rate" "$link" "$(kv "$line" sent)" "$received" "$left" "$(kv "$line" duplicated)" \
    "$(kv "$line" reordered)" "$(kv "$line" caught_up_s)" "${dropped:--}" "${waiting:--}" \
    "$(if [ "$waiting" = 0 ]; then echo $((left - dropped)); else echo -; fi)" "$peak_spool" \
    "$(cpu_per_k "$ticks" "$received")" "$hwm"
  row_stop
  caught_up[$qos]=$(kv "$line" caught_up_s)
  [ "$hwm" -gt "$hwm_max" ] && hwm_max=$hwm
  return 0
}

echo "== slow link, steady: $steady_rate msg/s of 40 bytes for $steady_s s through a $steady_rtt ms round trip" \
  "($(date -u '+%Y-%m-%d %H:%M UTC'), load average before: $(cut -d' ' -f1-3 /proc/loadavg))"
echo "   sent/s the generator's rate, sink/s what arrived over the time from the first send to the"
echo "   last receipt, left: sent and not arrived when the run ended (10 s after the last send);"
echo "   latency in ms; win, spool: the most documents awaiting a PUBACK and in the spool;"
echo "   cpu in ms per 1 000 documents; hwm the daemon's peak resident memory in KiB"
printf '%-5s %4s %5s %6s %6s %6s %4s %4s %7s %7s %5s %7s %7s %4s %6s %7s %6s\n' path rtt rate sent recv left dup \
  ord sent/s sink/s ratio p50 p99 win spool cpu/1k hwm
proxy_start $steady_rtt
wait_port $cloud 1883
for ((round = 0; round < ${NIMBA_BENCH_REPEAT:-3}; round++)); do
  link_steady 0
  link_steady 1
done
proxy_stop

echo
echo "== slow link, outage: $drain_rate msg/s of 40 bytes through a $drain_rtt ms round trip, the cloud away" \
  "for $link s ($(date -u '+%Y-%m-%d %H:%M UTC'), load average before: $(cut -d' ' -f1-3 /proc/loadavg))"
echo "   left: sent and not arrived when the run ended (at most 30 s after the last send);"
echo "   dropped, waiting: the daemon's counts then; unseen: left - dropped once nothing waits"
echo "   (at QoS 0 the documents on the link when it was cut, about the rate times the one-way"
echo "   delay, go unseen: the proxy's TCP had acknowledged them, a real link's would not have);"
echo "   caught up: seconds from the cloud's return until a document sent after it arrived"
echo "   within a second (-1: not within $tail_s s); spool: the most documents in it"
printf '%-5s %4s %5s %5s %6s %6s %6s %4s %4s %8s %7s %7s %6s %6s %7s %6s\n' path rtt rate away sent recv left \
  dup ord "caught up" dropped waiting unseen spool cpu/1k hwm
proxy_start $drain_rtt
wait_port $cloud 1883
link_outage 0
link_outage 1
proxy_stop

echo
echo "targets (QoS 1): at $steady_rate msg/s through $steady_rtt ms, sink/sent${steady_ratio[1]} (at least 0.95)," \
  "p99 ms${steady_p99[1]} (under 1 000); QoS 0: sink/sent${steady_ratio[0]}, p99 ms${steady_p99[0]}"
# "after N s", or that it did not within the run.
caught_up_text() { # seconds
  if [ "${1:--1}" = -1.000 ] || [ "${1:--1}" = - ]; then echo "not within $tail_s s"; else echo "after $1 s"; fi
}
echo "  after $link s away at $drain_rate msg/s through $drain_rtt ms, caught up $(caught_up_text "${caught_up[1]}")" \
  "(QoS 0 $(caught_up_text "${caught_up[0]}"); for a 600 s outage: within 300 s); peak resident memory at" \
  "most $hwm_max KiB (at most 6 144)"
echo "($(date -u '+%Y-%m-%d %H:%M UTC'), load average after: $(cut -d' ' -f1-3 /proc/loadavg))"
