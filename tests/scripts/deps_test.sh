#!/usr/bin/env bash
# The package installer's retries and the way a registry fault travels from scripts/deps
# through scripts/test --armhf to .ci/run, against stand-ins for apt-get, dpkg and the test
# script: nothing here reaches the network or the machine's packages.
# Usage: deps_test.sh SOURCE-FOLDER
set -uo pipefail
src=$(cd "$1" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/bin" "$work/ci/.ci" "$work/ci/scripts"

# apt-get: answers each call with the next step of FAKE_PLAN ("update:fail install:ok ..."),
# a failure in the words a mirror in the middle of a sync gives; a call the plan does not
# expect fails the case.
cat > "$work/bin/apt-get" <<'FAKE'
#!/bin/sh
echo "$1" >> "$FAKE_CALLS"
n=$(wc -l < "$FAKE_CALLS")
step=$(echo "$FAKE_PLAN" | tr ' ' '\n' | sed -n "${n}p")
case "$step" in
  "$1:ok") exit 0 ;;
  "$1:fail")
    echo "Err:4 http://deb.example/debian-security bookworm-security/main armhf Packages"
    echo "E: Failed to fetch http://deb.example/Packages.xz  File has unexpected size (359552 != 360800). Mirror sync in progress?"
    exit 100 ;;
  *) echo "apt-get $1: not in the plan ($FAKE_PLAN)"; exit 99 ;;
esac
FAKE
# dpkg-query: every package is installed except those matching the pattern FAKE_MISSING.
cat > "$work/bin/dpkg-query" <<'FAKE'
#!/bin/sh
for p; do :; done
case "$p" in $FAKE_MISSING) exit 1 ;; esac
echo "install ok installed"
FAKE
cat > "$work/bin/dpkg" <<'FAKE'
#!/bin/sh
[ "$1" = --print-foreign-architectures ] && { echo armhf; exit 0; }
echo "dpkg $*: not expected" >&2; exit 99
FAKE
printf '#!/bin/sh\necho 0\n' > "$work/bin/id"
# The test script .ci/run runs: each mode exits with its word of FAKE_CI (default, sanitize,
# armhf).
cp "$src/.ci/run" "$work/ci/.ci/run"
cat > "$work/ci/scripts/test" <<'FAKE'
#!/bin/sh
echo "test${1:-}" >> "$FAKE_CALLS"
set -- ${1:-default} $FAKE_CI
case "$1" in default) exit "$2" ;; --sanitize) exit "$3" ;; --armhf) exit "$4" ;; esac
FAKE
chmod +x "$work/bin/"* "$work/ci/scripts/test"

deps=$src/scripts/deps
tests=$src/scripts/test
ci=$work/ci/.ci/run
failed=0
# name | exit status | text the output must hold ("" for no output at all) | calls made | command
while IFS='|' read -r name status text calls command; do
  [ -n "$name" ] || continue
  : > "$work/calls"
  output=$(cd "$work" && eval "PATH=$work/bin:\$PATH FAKE_CALLS=$work/calls NIMBA_DEPS_PAUSE=0 $command" 2>&1)
  rc=$?
  made=$(tr '\n' ' ' < "$work/calls" | sed 's/ $//')
  problem=
  [ "$rc" -eq "$status" ] || problem="exit status $rc, expected $status"
  if [ -z "$text" ]; then
    [ -z "$output" ] || problem="$problem; output expected to be empty"
  else
    grep -qF -- "$text" <<< "$output" || problem="$problem; output lacks \"$text\""
  fi
  [ "$made" = "$calls" ] || problem="$problem; calls \"$made\", expected \"$calls\""
  if [ -n "$problem" ]; then
    printf 'FAIL %s: %s\n%s\n' "$name" "${problem#; }" "$output"
    failed=1
  else
    echo "ok   $name"
  fi
done <<ROWS
nothing missing: quiet, no apt|0|||FAKE_MISSING=none $deps build test armhf
unknown group|2|unknown package group: nonsense||FAKE_MISSING=none $deps build nonsense
index fails twice, then all goes|0|installing: cmake|update update update install|FAKE_MISSING=cmake FAKE_PLAN='update:fail update:fail update:ok install:ok' $deps build
a failed try says why|0|refreshing the package index (apt-get update) failed (try 1 of 3)|update update install|FAKE_MISSING=cmake FAKE_PLAN='update:fail update:ok install:ok' $deps build
install fails three times|75|installing cmake (apt-get install) failed 3 times; apt said:|update install update install update install|FAKE_MISSING=cmake FAKE_PLAN='update:ok install:fail update:ok install:fail update:ok install:fail' $deps build
apt's words reach the operator|75|Mirror sync in progress?|update update update|FAKE_MISSING=cmake FAKE_PLAN='update:fail update:fail update:fail' $deps build
ARM packages unavailable|75|the 32-bit ARM packages cannot be installed|update update update|FAKE_MISSING='*:armhf' FAKE_PLAN='update:fail update:fail update:fail' $tests --armhf
a native package unavailable fails --armhf|1|failed 3 times|update update update|FAKE_MISSING=cmake FAKE_PLAN='update:fail update:fail update:fail' $tests --armhf
a package unavailable fails the default run|1|failed 3 times|update update update|FAKE_MISSING=cmake FAKE_PLAN='update:fail update:fail update:fail' $tests
CI: all pass|0||test test--sanitize test--armhf|FAKE_CI='0 0 0' $ci
CI: ARM packages unavailable is a warning|0|WARNING: the 32-bit ARM build and its tests did NOT run|test test--sanitize test--armhf|FAKE_CI='0 0 75' $ci
CI: ARM build or test failing fails|1||test test--sanitize test--armhf|FAKE_CI='0 0 1' $ci
CI: 75 from the suite fails|75||test|FAKE_CI='75 0 0' $ci
CI: 75 from the sanitizer run fails|75||test test--sanitize|FAKE_CI='0 75 0' $ci
ROWS
exit $failed
