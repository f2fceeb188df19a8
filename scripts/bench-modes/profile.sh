# shellcheck shell=bash
# scripts/bench --profile, sourced by scripts/bench once the brokers run: per message at
# 1 000 msg/s, the daemon's CPU next to the two floors (the bare relay thread, the bare
# forwarder between the brokers), system calls (strace -c) and heap allocations (an
# LD_PRELOAD counter); resident memory idle, at peak, and after one 40 MiB gateway message;
# with NIMBA_BENCH_BASELINE the same for that build, interleaved, in one table; with
# NIMBA_BENCH_QOS1=1 also for this daemon with NIMBA_QOS=1 (qos1). NIMBA_BENCH_REPEAT rounds
# (default 2).
big=$run/big.json
# One 40 MiB gateway message: a JSON string of that length.
{ printf '{"big":"'; head -c $((40 * 1024 * 1024)) /dev/zero | tr '\0' 'b'; printf '"}'; } > "$big"
hz=$(getconf CLK_TCK)
relay_run() { # count rate: relays count messages of 40 bytes, prints the received count
  local line
  line=$("$load" --mode "$mode" --publish-host $gateway --subscribe-host $cloud --count "$1" \
    --rate "$2" --size 40 --time-limit 60 --drain 10 --warmup 10 --quiet | grep '^mode=')
  kv_get "$line" received
}
kv_get() { local w; for w in $1; do [ "${w%%=*}" = "$2" ] && { echo "${w#*=}"; return; }; done; echo 0; }
# The forwarder's CPU per message in the round, for the daemons' rows after it.
forward_us=
profile_one() { # label daemon (label forwarder: the bare forwarder): prints one table row
  local label=$1 program=$2 pid counts0 counts1 n t0 t1 cpu_us syscalls top allocs idle hwm hwm_big
  local mode=relay
  rm -f "$run/allocs"
  if [ "$label" = forwarder ]; then
    mode=forward
    LD_PRELOAD=$alloc_count NIMBA_ALLOC_COUNT_FILE=$run/allocs "$forward" $gateway $cloud \
      2>"$run/forward.err" &
  else
    LD_PRELOAD=$alloc_count NIMBA_ALLOC_COUNT_FILE=$run/allocs "$program" bench $gateway \
      >/dev/null 2>"$run/daemon-$label.err" &
  fi
  pid=$!
  pids+=($pid)
  "$load" --mode $mode --publish-host $gateway --subscribe-host $cloud --count 0 --warmup 20 \
    --quiet >/dev/null || { echo "the relay ($label) does not pass messages" >&2; exit 1; }
  sleep 2
  idle=$(proc_status_kb $pid VmRSS)
  # CPU per message at 1 000 msg/s.
  t0=$(proc_ticks $pid)
  n=$(relay_run 10000 1000)
  t1=$(proc_ticks $pid)
  cpu_us=$(awk -v t=$((t1 - t0)) -v hz="$hz" -v n="$n" 'BEGIN { printf "%.1f", n ? t / hz * 1e6 / n : 0 }')
  # Heap allocations per message at 1 000 msg/s.
  kill -USR2 $pid
  sleep 0.2
  n=$(relay_run 5000 1000)
  kill -USR2 $pid
  sleep 0.2
  allocs=$(tail -n 2 "$run/allocs" | awk -v n="$n" '{
      split($1, m, "="); split($2, c, "="); split($3, r, "=")
      total[NR] = m[2] + c[2] + r[2] }
    END { if (n > 0) printf "%.2f", (total[2] - total[1]) / n; else print "-" }')
  # System calls per message at 1 000 msg/s, the daemon's threads included.
  strace -c -f -p $pid -o "$run/strace-$label.txt" 2>/dev/null &
  local tracer=$!
  sleep 1
  n=$(relay_run 5000 1000)
  kill -INT $tracer; wait $tracer 2>/dev/null || true
  syscalls=$(awk -v n="$n" '$NF == "total" { printf "%.2f", n ? $4 / n : 0 }' "$run/strace-$label.txt")
  top=$(awk -v n="$n" 'NR > 2 && $1 ~ /^[0-9.]+$/ && $NF != "total" {
      printf "%s %.2f\n", $NF, $4 / n }' "$run/strace-$label.txt" |
    sort -k2 -rn | head -4 | awk '{ printf "%s%s %s", sep, $1, $2; sep = ", " }')
  hwm=$(proc_status_kb $pid VmHWM)
  # One 40 MiB message, then a few ordinary ones that can only pass after it.
  mosquitto_pub -h $gateway -t QZ/big/x -f "$big"
  relay_run 100 1000 >/dev/null 2>&1
  hwm_big=$(proc_status_kb $pid VmHWM)
  kill $pid; wait $pid 2>/dev/null || true
  [ "$label" = forwarder ] && forward_us=$cpu_us
  printf '%-9s %7s %7s %6s %7s %6s %9s %9s %8s %8s %9s   %s\n' "$label" "$cpu_us" "$floor_us" \
    "$(awk -v a="$cpu_us" -v b="$floor_us" 'BEGIN { printf "%.2f", (b > 0) ? a / b : 0 }')" \
    "${forward_us:--}" \
    "$(awk -v a="$cpu_us" -v b="${forward_us:-0}" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }')" \
    "$syscalls" "$allocs" "$idle" "$hwm" "$hwm_big" "$top"
}
echo "== profile ($(date -u '+%Y-%m-%d %H:%M UTC'), load average before: $(cut -d' ' -f1-3 /proc/loadavg))"
floor_us=$("$floor" 10000 1000 | sed -n 's/.*CPU \([0-9.]*\) us per message.*/\1/p')
printf '%-9s %7s %7s %6s %7s %6s %9s %9s %8s %8s %9s   %s\n' relay "cpu us" "floor" ratio \
  "fwd us" "/fwd" "calls/msg" "alloc/msg" "rss idle" "rss peak" "after 40M" \
  "most frequent calls per message"
rounds=${NIMBA_BENCH_REPEAT:-2}
for ((i = 0; i < rounds; i++)); do
  forward_us=
  [ -n "$forward" ] && profile_one forwarder "$forward"
  profile_one new "$daemon"
  if [ "${NIMBA_BENCH_QOS1:-0}" = 1 ]; then
    rm -rf "$spool"
    write_delivery_settings 1
    profile_one qos1 "$daemon"
    write_delivery_settings 0
  fi
  [ -n "${NIMBA_BENCH_BASELINE:-}" ] && profile_one baseline "$NIMBA_BENCH_BASELINE"
done
echo "(memory in KiB; cpu, calls and allocations per message relayed at 1 000 msg/s, 40 bytes;"
echo " floor: a bare relay thread in one process, poll, read and write per message; fwd: the bare"
echo " forwarder between the same brokers in the same round, which writes each PUBLISH unchanged)"
