# shellcheck shell=bash
# Helpers shared by the bash scripts in scripts/ that start brokers and other processes on
# loopback (demo, bench and its modes, bench-cgi). Sourced, not run, from the top folder: . scripts/lib.sh

# The processes started in the background; stop_started ends them. start_broker adds its
# broker here, the scripts add what else they start.
pids=()

# Takes a process that has ended off that list, so that its number, once the system gives it
# to another process, is never killed.
forget_pid() { # pid
  local i
  for i in "${!pids[@]}"; do [ "${pids[i]}" = "$1" ] && unset 'pids[i]'; done
  return 0
}

# Kills every started process (and any pid named) and waits for them.
stop_started() { # [pid...]
  local pid
  for pid in "${pids[@]}" "$@"; do kill "$pid" 2>/dev/null; done
  for pid in "${pids[@]}" "$@"; do wait "$pid" 2>/dev/null; done
  return 0
}

# Starts an anonymous, non-persistent mosquitto broker on address:1883, its configuration
# in folder/name.conf and its log (standard error) in folder/name.log. Extra arguments are
# more lines of its configuration.
start_broker() { # folder name address [config line...]
  local folder=$1 name=$2 address=$3
  shift 3
  {
    printf '%s\n' "listener 1883 $address" "allow_anonymous true" "persistence false" \
      "log_dest stderr"
    [ $# -eq 0 ] || printf '%s\n' "$@"
  } > "$folder/$name.conf"
  mosquitto -c "$folder/$name.conf" 2> "$folder/$name.log" &
  pids+=($!)
}

# Waits up to 5 s until something accepts connections on address:port.
wait_port() { # address port
  for _ in $(seq 50); do
    (exec 3<>"/dev/tcp/$1/$2") 2>/dev/null && return 0
    sleep 0.1
  done
  echo "nothing listens on $1:$2" >&2
  return 1
}

# Quickstart mode, no TLS, in the settings and defaults of an install root.
write_quickstart_settings() { # root
  local f
  for f in settings defaults; do
    printf 'NIMBA_MODE=0\nNIMBA_ORGID=\nNIMBA_DTYPEID=\nNIMBA_AUTHTOKEN=\nNIMBA_SSL=0\n' > "$1/etc/$f"
  done
}

# The value of key in a line of key=value words, or "-".
kv() { # line key
  local w
  for w in $1; do [ "${w%%=*}" = "$2" ] && { echo "${w#*=}"; return; }; done
  echo "-"
}

# Figures of a process and of the daemon's status file, read without starting processes
# (load runs sample them while they run).
# A field of /proc/<pid>/status in KiB (VmRSS, VmHWM), or 0 when the process is gone.
proc_status_kb() { # pid field
  local k v _
  [ -r "/proc/$1/status" ] || { echo 0; return 0; }
  while read -r k v _; do [ "$k" = "$2:" ] && { echo "$v"; return 0; }; done < "/proc/$1/status"
  echo 0
}
# The CPU time (utime + stime) of a process in clock ticks, or 0 when it is gone.
proc_ticks() { # pid
  local stat rest f
  [ -r "/proc/$1/stat" ] || { echo 0; return 0; }
  read -r stat < "/proc/$1/stat"
  rest=${stat##*) }
  read -r -a f <<< "$rest"
  echo $(( f[11] + f[12] ))
}
# The bytes a process caused to be written to storage so far (/proc/<pid>/io write_bytes).
write_bytes() { # pid
  local k v
  while read -r k v; do [ "$k" = write_bytes: ] && { echo "$v"; return 0; }; done < "/proc/$1/io"
  echo 0
}
# A key of a status file (KEY=VALUE lines); nothing when the key or the file is absent.
status_value() { # path key
  local k v
  [ -r "$1" ] || return 0
  while IFS='=' read -r k v; do [ "$k" = "$2" ] && { echo "$v"; return 0; }; done < "$1"
  return 0
}

# The median of the numbers on standard input (words; "-" skipped), or "-".
median() { tr ' ' '\n' | awk 'NF && $1 != "-"' | sort -g | awk '{ v[++n] = $1 } END {
    if (!n) print "-"; else if (n % 2) print v[(n + 1) / 2]; else print (v[n / 2] + v[n / 2 + 1]) / 2 }'; }
