# shellcheck shell=bash
# scripts/bench --drain [S], sourced by scripts/bench with runs.sh, in a network namespace
# of its own: an outage of S seconds at NIMBA_BENCH_DRAIN_RATE msg/s (default 100) with
# NIMBA_QOS=1, then the cloud back: how fast the spool drains, and the daemon's resident
# memory through both.
# The drain: the cloud away for the outage while the gateway sends at the rate (documents
# wait in memory and in the spool), then back; the receiving end meets the cloud broker at
# its second address, the outage does not touch. Resident memory every second during the
# outage, every 0.2 s during the drain.
rate=${NIMBA_BENCH_DRAIN_RATE:-100}
case "$rate" in '' | *[!0-9]*) echo "NIMBA_BENCH_DRAIN_RATE must be a number" >&2; exit 2 ;; esac
[ "$rate" -ge 1 ] && [ "$rate" -le 10000 ] || { echo "NIMBA_BENCH_DRAIN_RATE must be 1 to 10 000" >&2; exit 2; }
count=$((drain * rate))
spool_status=$run/drain.status
rm -f "$spool_status"
start_relay spool
echo "== drain: an outage of $drain s at $rate msg/s, $count documents of 40 bytes, NIMBA_QOS=1" \
  "($(date -u '+%Y-%m-%d %H:%M UTC'), load average before: $(cut -d' ' -f1-3 /proc/loadavg))"
read_rss
start_rss=$rss
outage_begin
sleep 2
echo "   cloud away: $(status_value "$spool_status" CLOUD_STATE), $(status_value "$spool_status" CLOUD_FAILED_TEXT)"
"$load" --mode relay --publish-only --publish-host $gateway --count "$count" --rate "$rate" --size 40 \
  --time-limit $((drain + 60)) --quiet > "$run/drain-send.out" 2>&1 &
gen=$!
peak_outage=$rss n=0
while kill -0 "$gen" 2>/dev/null && [ $n -lt $((drain + 120)) ]; do
  read -r -t 1 -u "$tick" _ || true
  read_rss
  [ "$rss" -gt "$peak_outage" ] && peak_outage=$rss
  n=$((n + 1))
  if [ $((n % 60)) -eq 0 ]; then
    echo "   $n s: received $(status_value "$spool_status" RECEIVED), in the spool" \
      "$(status_value "$spool_status" SPOOL_DOCUMENTS) documents," \
      "$(status_value "$spool_status" SPOOL_BYTES) bytes; resident $rss KiB (peak $peak_outage)"
  fi
done
wait "$gen" || { gen=; echo "generator failed:" >&2; cat "$run/drain-send.out" >&2; exit 1; }
gen=
sent=$(kv "$(grep '^mode=' "$run/drain-send.out")" sent)
# Until the daemon has read everything from the gateway (the status file, once a second).
for _ in $(seq 60); do
  [ "$(status_value "$spool_status" RECEIVED)" -ge "$sent" ] 2>/dev/null && break
  sleep 0.5
done
sleep 2
read_rss
[ "$rss" -gt "$peak_outage" ] && peak_outage=$rss
spool_line=$("$spool_count" "$spool")
echo "   end of the outage: sent $sent, the daemon received $(status_value "$spool_status" RECEIVED)" \
  "(a warm-up probe included), waiting $(status_value "$spool_status" WAITING), in the spool" \
  "$(status_value "$spool_status" SPOOL_DOCUMENTS) ($spool_line), dropped" \
  "$(status_value "$spool_status" DROPPED); resident $rss KiB"
"$load" --mode relay --receive-only --subscribe-host $cloud_sink --count "$sent" --size 40 \
  --time-limit $((120 + sent / 500)) --drain 10 --quiet > "$run/drain-receive.out" 2>&1 &
gen=$!
for _ in $(seq 100); do grep -q '^subscribed' "$run/drain-receive.out" && break; sleep 0.1; done
grep -q '^subscribed' "$run/drain-receive.out" || { echo "the receiving end did not subscribe" >&2; exit 1; }
cpu0=$(cpu_ticks)
outage_end
peak_drain=$rss n=0
while kill -0 "$gen" 2>/dev/null && [ $n -lt $(( (120 + sent / 500 + 30) * 5 )) ]; do
  read -r -t 0.2 -u "$tick" _ || true
  read_rss
  [ "$rss" -gt "$peak_drain" ] && peak_drain=$rss
  n=$((n + 1))
done
wait "$gen" || { gen=; echo "generator failed:" >&2; cat "$run/drain-receive.out" >&2; exit 1; }
gen=
cpu1=$(cpu_ticks)
line=$(grep '^mode=' "$run/drain-receive.out")
sleep 2
read_rss
echo "$line"
echo "drain: $(kv "$line" received) of $sent documents back (lost $(kv "$line" lost), duplicated" \
  "$(kv "$line" duplicated), out of order $(kv "$line" reordered)); the first $(kv "$line" first_s) s" \
  "after the cloud came back, then $(kv "$line" throughput) msg/s for $(kv "$line" elapsed_s) s;" \
  "daemon CPU $(awk -v t=$((cpu1 - cpu0)) -v hz="$hz" -v n="$(kv "$line" received)" \
    'BEGIN { if (n > 0) printf "%.2f", t / hz * 1e6 / n; else print "-" }') ms per 1 000 documents"
echo "resident memory (KiB): before the outage $start_rss, peak during the outage $peak_outage," \
  "peak during the drain $peak_drain, after it $rss"
echo "after the drain: in the spool $(status_value "$spool_status" SPOOL_DOCUMENTS) documents" \
  "($("$spool_count" "$spool")), resent $(status_value "$spool_status" RESENT), dropped" \
  "$(status_value "$spool_status" DROPPED)"
echo "($(date -u '+%Y-%m-%d %H:%M UTC'), load average after: $(cut -d' ' -f1-3 /proc/loadavg))"
