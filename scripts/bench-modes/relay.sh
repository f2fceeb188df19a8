# shellcheck shell=bash
# scripts/bench and scripts/bench --quick (and the first part of --delivery), sourced by
# scripts/bench with runs.sh: for each size and rate, the direct path and each relay, the
# flat-out pairs NIMBA_BENCH_REPEAT times; one table with latency (p50, p90, p99, maximum),
# how far the generator fell behind its schedule, the relay/direct throughput ratio, the
# relay's CPU and memory, then the CPU time a bare relay thread needs per message at
# 1 000 msg/s, the floor for the daemon's figure.
scale=1
[ $quick -eq 1 ] && scale=10
echo "== runs (load average before: $(cut -d' ' -f1-3 /proc/loadavg))"
# Flat out, the throughput of either path depends on how the two cores are shared at the
# moment and scatters by a quarter from run to run: those pairs run several times.
repeats=${NIMBA_BENCH_REPEAT:-3}
declare -A flat_ratios
plans=${NIMBA_BENCH_RATES:-1000:10000 5000:20000 10000:20000 0:50000}
[ $delivery -eq 1 ] && plans=${NIMBA_BENCH_RATES:-1000:10000 0:50000}
for size in ${NIMBA_BENCH_SIZES:-40 1024}; do
  for run_plan in $plans; do
    rate=${run_plan%%:*}
    count=$(( ${run_plan#*:} / scale ))
    times=1
    [ "$rate" = 0 ] || [ $delivery -eq 1 ] && times=$repeats
    if [ "$rate" != 0 ] && [ "${NIMBA_BENCH_RT:-0}" = 1 ]; then set_priority rt; else set_priority normal; fi
    for ((i = 0; i < times; i++)); do
      for mode in direct "${relay_paths[@]}"; do
        echo "-- $mode, $size bytes, rate ${rate/#0/flat out}, $count messages${priority/#normal/}"
        run_one $mode "$rate" $size "$count"
        [ "$rate" = 0 ] && [ "$mode" != direct ] && flat_ratios[$mode $size]+=" $last_ratio"
      done
    done
  done
done

echo
echo "== results ($(date -u '+%Y-%m-%d %H:%M UTC'), load average after: $(cut -d' ' -f1-3 /proc/loadavg), $(nproc) cores)"
echo "   throughput in msg/s, latency in us (send to receipt), cpu in ms of the relay's CPU per 1 000"
echo "   messages relayed, brk the same for the broker the generator publishes to (one receive"
echo "   and one send per message, as the daemon), rss in KiB idle/peak during the run;"
echo "   ord = documents that arrived after one sent later; late = how far (us) the generator's"
echo "   sends fell behind its schedule at most (a busy machine: then the tail is not the relay's);"
echo "   ratio = relay/direct throughput; paths: relay this daemon, base the baseline build,"
echo "   forward a bare forwarder between the same brokers$([ "${NIMBA_BENCH_RT:-0}" = 1 ] && echo "; fixed rates at real-time priority")"
printf '%-7s %5s %6s %6s %6s %6s %4s %4s %4s %7s %5s %8s %8s %8s %8s %6s %7s %7s %s\n' \
  path size rate sent recv lost dup malf ord thruput ratio p50 p90 p99 max late cpu/1k brk/1k rss
for r in "${rows[@]}"; do echo "$r"; done

while read -r path size; do
  [ -n "$path" ] || continue
  echo "flat out, $size bytes: $path/direct$(echo "${flat_ratios[$path $size]}" | tr ' ' '\n' | sort -n |
    awk 'NF { list = list " " $1 } END { printf "%s", list }'), median $(echo "${flat_ratios[$path $size]}" | median)"
done < <(printf '%s\n' "${!flat_ratios[@]}" | sort -k2,2n -k1,1r)
echo "daemon when idle: $idle_cpu ms CPU per second, $daemon_idle_rss KiB resident"
# The least a relay spends per message here: a bare poll, read and write per message.
if [ -n "$floor" ]; then "$floor" 10000 1000; fi

