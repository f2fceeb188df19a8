# shellcheck shell=bash
# scripts/bench --soak [N], sourced by scripts/bench with runs.sh: N messages of 40 bytes at
# 10 000 msg/s through the relay, the daemon's resident memory sampled every second.
# Long run: memory at the start, every second, and at the end; the time limit is the
# run's length at the rate plus a minute.
echo "== soak: $soak messages of 40 bytes at 10000 msg/s (load average before: $(cut -d' ' -f1-3 /proc/loadavg))"
read_rss
start_rss=$rss peak=$rss
cpu0=$(cpu_ticks)
"$load" --mode relay --publish-host $gateway --subscribe-host $cloud --count "$soak" \
  --rate 10000 --size 40 --time-limit $(( soak / 10000 + 60 )) --drain 10 --warmup 10 \
  > "$run/soak.out" 2>&1 &
gen=$!
n=0 samples=()
while kill -0 "$gen" 2>/dev/null && [ $n -lt $(( soak / 10000 + 120 )) ]; do
  read -r -t 1 -u "$tick" _ || true
  read_rss
  [ "$rss" -gt "$peak" ] && peak=$rss
  samples+=("$rss")
  n=$((n + 1))
done
wait "$gen" || { gen=; echo "generator failed:" >&2; cat "$run/soak.out" >&2; exit 1; }
gen=
kill -0 "$daemon_pid" 2>/dev/null || { echo "the daemon died during the run" >&2; exit 1; }
cpu1=$(cpu_ticks)
read_rss
grep '^mode=' "$run/soak.out"
echo "rss KiB every 10 s: $(for ((i = 0; i < ${#samples[@]}; i += 10)); do printf '%s ' "${samples[i]}"; done)"
echo "rss KiB: start $start_rss, peak $peak, end $rss; daemon CPU" \
  "$(awk -v t=$((cpu1 - cpu0)) -v hz="$hz" 'BEGIN { printf "%.1f", t / hz }') s" \
  "($(date -u '+%Y-%m-%d %H:%M UTC'), load average after: $(cut -d' ' -f1-3 /proc/loadavg))"
