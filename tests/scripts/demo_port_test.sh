#!/usr/bin/env bash
# scripts/demo with its web port taken: it stops before building or starting anything,
# with exit status 1 and a message that names the port, what holds it and NIMBA_DEMO_PORT.
# Runs in a network namespace of its own, so the port it takes is nobody else's.
# Usage: demo_port_test.sh SOURCE-FOLDER
set -uo pipefail
src=$(cd "$1" && pwd)
if [ -z "${NIMBA_DEMO_TEST_NETNS:-}" ]; then
  NIMBA_DEMO_TEST_NETNS=1 exec unshare -n "$0" "$@"
fi
ip link set lo up
port=8080

# A program that holds the port on 127.0.0.1 (mosquitto, which the demo needs anyway).
mosquitto -p $port 2>/dev/null &
holder=$!
trap 'kill $holder 2>/dev/null; wait $holder 2>/dev/null' EXIT
for _ in $(seq 50); do
  (exec 3<>/dev/tcp/127.0.0.1/$port) 2>/dev/null && break
  sleep 0.1
done

output=$(NIMBA_DEMO_PORT=$port "$src/scripts/demo" --once 2>&1)
rc=$?
failed=0
check() { # condition-text description
  if ! grep -qF -- "$1" <<< "$output"; then
    echo "FAIL: the output lacks \"$1\" ($2)"
    failed=1
  fi
}
[ $rc -eq 1 ] || { echo "FAIL: exit status $rc, expected 1"; failed=1; }
check "port $port on 127.0.0.1 (the web server) is in use" "the port"
check "by mosquitto (pid $holder)" "what holds it"
check "NIMBA_DEMO_PORT=$((port + 1)) scripts/demo" "how to choose another"
if grep -q '^== ' <<< "$output"; then
  echo "FAIL: a phase began before the check"
  failed=1
fi
[ $failed -eq 0 ] && echo "ok   demo with its web port taken" || printf '%s\n' "$output"
exit $failed
