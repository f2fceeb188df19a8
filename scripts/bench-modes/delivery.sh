# shellcheck shell=bash
# scripts/bench --delivery [--quick], sourced by scripts/bench after relay.sh has run the
# relay runs for the shipped daemon (relay), the same with the system's growing send buffer
# (buf0; NIMBA_BENCH_SNDBUF adds sizes in bytes, e.g. "131072 262144") and with NIMBA_QOS=1
# (qos1), each repeated: their summary by path, then the bytes written to the spool folder
# while the cloud keeps up and while it is away (strace of the daemon's file calls,
# /proc/<pid>/io), and the time from the start to the first CONNECT at QoS 0, with an empty
# spool and with a full one. Each relay run starts its daemon afresh, so its peak resident
# memory (VmHWM) is that run's.
# Each run's figure and the median (median, scripts/lib.sh), by size and rate.
echo
echo "== delivery and send buffer (each run; median in brackets)"
echo "   relay: the daemon as shipped (QoS 0, send buffer 64 KiB); buf0: the same with the"
echo "   system's send buffer; qos1: the shipped daemon with NIMBA_QOS=1; x/relay: a run's"
echo "   figure (flat out its throughput, at a fixed rate its CPU per message) against the"
echo "   relay's run just before it in the same round; peak: the daemon's peak resident memory"
echo "   (VmHWM) since its start before the run"
for size in ${NIMBA_BENCH_SIZES:-40 1024}; do
  for run_plan in $plans; do
    rate=${run_plan%%:*}
    if [ "$rate" = 0 ]; then what="flat out, msg/s"; else what="$rate msg/s, cpu ms per 1 000"; fi
    echo "$size bytes, $what:"
    for path in "${relay_paths[@]}"; do
      if [ "$rate" = 0 ]; then list=${runs_thr[$path $size $rate]:-}; else list=${runs_cpu[$path $size $rate]:-}; fi
      text="  $(printf '%-7s' "$path")$list ($(echo "$list" | median))"
      if [ "$path" != relay ]; then
        text+="; x/relay${runs_rel[$path $size $rate]:-} ($(echo "${runs_rel[$path $size $rate]:-}" | median))"
        if [ "$rate" != 0 ]; then
          text+=", of the medians $(awk -v a="$(echo "$list" | median)" \
            -v b="$(echo "${runs_cpu[relay $size $rate]:-}" | median)" \
            'BEGIN { if (b + 0 > 0) printf "%.2f", a / b; else print "-" }')"
        fi
      fi
      echo "$text; lost/dup/ord${runs_lost[$path $size $rate]:-}; peak KiB${runs_hwm[$path $size $rate]:-}"
    done
    echo "  qos1: most documents in the spool during each run:${runs_spooled[$size $rate]:-}"
  done
done
stop_relay

# Flash writes with NIMBA_QOS=1: what goes to the spool folder while the cloud keeps up and
# while it is away. Every file call of the daemon's threads is traced (one strace output
# per thread, so that no call is split over two lines) and those on the spool folder
# summed; /proc/<pid>/io write_bytes counts every file the daemon dirtied (pages of 4 KiB;
# the status file is off in these runs).
trace_start() { # pid name
  rm -f "$run/strace-$2".*
  strace -qq -ff -y -o "$run/strace-$2" -p "$1" -e trace=write,pwrite64,writev,pwritev,pwritev2,fsync,fdatasync,open,openat,creat,unlink,unlinkat,rename,renameat,renameat2,mkdir,mkdirat,truncate,ftruncate 2>/dev/null &
  tracer=$!
  pids+=($tracer)
  sleep 1
}
trace_stop() { # name: the calls on the spool folder, as key=value words
  kill -INT "$tracer" 2>/dev/null; wait "$tracer" 2>/dev/null || true
  cat "$run/strace-$1".* 2>/dev/null | { grep -F "$spool" || true; } | awk '
    { name = $0; sub(/\(.*/, "", name); n = split($0, part, " = "); split(part[n], ret, " ")
      calls++
      if (name ~ /^(write|pwrite64|writev|pwritev|pwritev2)$/) { writes++; if (ret[1] > 0) bytes += ret[1] }
      else if (name ~ /sync$/) syncs++
      else if (name ~ /^(open|openat|creat)$/ && $0 ~ /O_CREAT/) created++
      else if (name ~ /^unlink/) deleted++ }
    END { printf "calls=%d writes=%d bytes=%d syncs=%d created=%d deleted=%d\n", calls, writes, bytes, syncs, created, deleted }'
}
keep=$((60 / scale)) away=$((20000 / scale))
spool_status=
echo
echo "== flash writes, NIMBA_QOS=1, 40 bytes ($(date -u '+%Y-%m-%d %H:%M UTC'), load average before:" \
  "$(cut -d' ' -f1-3 /proc/loadavg))"
start_relay spool
io0=$(write_bytes "$daemon_pid")
trace_start "$daemon_pid" keep
"$load" --mode relay --publish-host $gateway --subscribe-host $cloud --count $((keep * 1000)) --rate 1000 \
  --size 40 --time-limit $((keep + 30)) --drain 10 --warmup 10 --quiet > "$run/keep.out" 2>&1 ||
  { cat "$run/keep.out" >&2; exit 1; }
sleep 2
traced=$(trace_stop keep)
io1=$(write_bytes "$daemon_pid")
line=$(grep '^mode=' "$run/keep.out")
echo "cloud keeping up: $(kv "$line" received) of $(kv "$line" sent) documents at 1 000 msg/s in $keep s;" \
  "spool folder: $traced; write_bytes $((io1 - io0)); per hour: $(awk -v b="$(kv "$traced" bytes)" \
    -v s="$keep" 'BEGIN { printf "%.0f", b * 3600 / s }') bytes to the spool," \
  "$(awk -v b=$((io1 - io0)) -v s="$keep" 'BEGIN { printf "%.0f", b * 3600 / s }') write_bytes"

outage_begin
sleep 2
before=$("$spool_count" "$spool")
io0=$(write_bytes "$daemon_pid")
trace_start "$daemon_pid" away
"$load" --mode relay --publish-only --publish-host $gateway --count "$away" --rate 1000 --size 40 \
  --time-limit $((away / 1000 + 30)) --quiet > "$run/away.out" 2>&1 || { cat "$run/away.out" >&2; exit 1; }
sleep 3
traced=$(trace_stop away)
io1=$(write_bytes "$daemon_pid")
after=$("$spool_count" "$spool")
records=$(( $(kv "$after" records) - $(kv "$before" records) ))
documents=$(( $(kv "$after" document_bytes) - $(kv "$before" document_bytes) ))
sent=$(kv "$(grep '^mode=' "$run/away.out")" sent)
echo "cloud away: $sent documents at 1 000 msg/s, $records went to the spool ($((sent - records)) stayed in" \
  "memory), $(awk -v d="$documents" -v r="$records" 'BEGIN { printf "%.1f", r ? d / r : 0 }') bytes each on average;"
echo "  spool folder: $traced; $after"
echo "  per document spooled: $(awk -v b="$(kv "$traced" bytes)" -v d="$documents" -v r="$records" \
    'BEGIN { if (r) printf "%.2f bytes written = the document + %.2f", b / r, (b - d) / r; else print "-" }');" \
  "write_bytes $((io1 - io0)), $(awk -v b=$((io1 - io0)) -v r="$records" 'BEGIN { if (r) printf "%.2f", b / r; else print "-" }')" \
  "per document (whole pages: a page that a batch left half full is written again with the next)"

# A full spool: the daemon fills it while the cloud is still away, and its stop keeps what
# memory held. Then the time from the start to the first CONNECT, at QoS 0 and with
# NIMBA_QOS=1 with an empty and with the full spool, interleaved, each start reading
# the spool from the disk (page cache dropped); a listener on the cloud's address times
# it and never answers.
limit_kb=$(sed -n 's/^NIMBA_SPOOL_LIMIT_KB:[A-Z]*=//p' "$build/CMakeCache.txt")
record=$(awk -v b="$(kv "$after" record_bytes)" -v r="$(kv "$after" records)" 'BEGIN { print r ? int(b / r) + 1 : 100 }')
fill=$(( (limit_kb * 1024 - $(kv "$after" file_bytes)) / record + 2000 ))
"$load" --mode relay --publish-only --publish-host $gateway --count "$fill" --rate 0 --size 40 \
  --time-limit 120 --quiet > "$run/fill.out" 2>&1 || { cat "$run/fill.out" >&2; exit 1; }
last= n=0
while [ $n -lt 120 ]; do
  sleep 1
  line=$("$spool_count" "$spool")
  [ "$line" = "$last" ] && break
  last=$line n=$((n + 1))
done
stop_relay
outage_end
kill "$cloud_pid" 2>/dev/null; wait "$cloud_pid" 2>/dev/null || true
full=$("$spool_count" "$spool")
empty_spool=$run/spool-empty
rm -rf "$empty_spool"
echo
echo "== start to the first CONNECT ($(date -u '+%Y-%m-%d %H:%M UTC'), load average before:" \
  "$(cut -d' ' -f1-3 /proc/loadavg))"
echo "   the full spool (limit $limit_kb KiB): $full"
declare -A starts
rounds=$((quick ? 3 : 7))
for ((i = 0; i < rounds; i++)); do
  for variant in qos0 empty full; do
    folder=$spool qos=1
    [ "$variant" = full ] || folder=$empty_spool
    [ "$variant" = qos0 ] && qos=0
    write_delivery_settings $qos
    line=$(NIMBA_BENCH_SPOOL_PATH=$folder NIMBA_BENCH_STATUS_PATH= "$connect_timer" --drop-cache "$folder" \
      $cloud 1883 10 "$bench_daemon" bench $gateway) || true
    starts[$variant]+=" $(kv "$line" connect_ms)"
    [ "$variant" = full ] && starts[stop]+=" $(kv "$line" stop_ms)"
  done
done
for variant in qos0 empty full; do
  echo "$(printf '%-6s' "$variant") connect ms:${starts[$variant]} (median $(echo "${starts[$variant]}" | median))"
done
echo "full - empty: $(awk -v a="$(echo "${starts[full]}" | median)" -v b="$(echo "${starts[empty]}" | median)" \
  'BEGIN { printf "%.2f", a - b }') ms (medians); the stop with the full spool took${starts[stop]} ms"
echo "   the full spool after the starts: $("$spool_count" "$spool")"
echo "($(date -u '+%Y-%m-%d %H:%M UTC'), load average after: $(cut -d' ' -f1-3 /proc/loadavg))"
rm -rf "$spool" "$empty_spool"
