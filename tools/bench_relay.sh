#!/usr/bin/env bash
# The relay benchmark: the bare fan-out relay (the physical reference) and the
# server, on this machine in one run, at 100 and 1,000 listeners, with
# stations as they are: every listener sends a keep-alive every 600 ms at its
# own phase (the bare relay reads and drops it) and asks the server for full
# 8-bit client lists; 25 warm-up frames are not measured. Prints delivery,
# p50/p99/max talker-to-listener latency (at the tool and at the listener
# socket's kernel receive time), frames over 50 ms, relay CPU per delivered
# frame (schedstat) and the server/bare ratios; then a server run in which
# CHURN stations join and leave during the talk at the largest size.
#
# Environment: BUILD (default build/plain), FRAMES measured frames per run
# (default 300), RATE frames per second (default 5, a real talker), SIZES
# (default "100 1000"), THREADS receiver threads of the load tool (default 2),
# CHURN (default 100; 0 skips that run), PIN (default empty: e.g. "0-3 4-7"
# pins the relays to the first cores and the load tool to the second),
# PER_THREAD (default empty: the server's own; the connections per worker).
set -uo pipefail
cd "$(dirname "$0")/.."

BUILD=${BUILD:-build/plain}
FRAMES=${FRAMES:-300}
RATE=${RATE:-5}
SIZES=${SIZES:-100 1000}
THREADS=${THREADS:-2}
CHURN=${CHURN:-100}
PER_THREAD=${PER_THREAD:-}
PIN=${PIN:-}
RELAY_CPUS=${PIN%% *}
TOOL_CPUS=${PIN#* }
# Prefixes that pin the relays and the tool (empty without PIN); arrays, not
# a function, so that a relay started in the background is the process whose
# pid is taken.
ON_RELAY=()
ON_TOOL=()
if [ -n "$PIN" ]; then
  ON_RELAY=(taskset -c "$RELAY_CPUS")
  ON_TOOL=(taskset -c "$TOOL_CPUS")
fi
LOAD=$BUILD/tools/qor_load
RELAY=$BUILD/relay_bare
SERVER=$BUILD/QORServerConsole

if [ ! -x "$LOAD" ]; then
  echo "bench-relay: $LOAD is missing (make build)" >&2
  exit 1
fi

WORK=$(mktemp -d)
PIDS=()
# TERM, not INT: a background job of a script ignores INT. The server stops on
# TERM as on control-C; one that has not ended after 10 s is killed.
stop_pid() {
  kill -TERM "$1" 2>/dev/null
  for _ in $(seq 100); do kill -0 "$1" 2>/dev/null || break; sleep 0.1; done
  kill -KILL "$1" 2>/dev/null
  wait "$1" 2>/dev/null
}
cleanup() {
  for p in "${PIDS[@]}"; do stop_pid "$p"; done
  rm -rf "$WORK"
}
trap cleanup EXIT

declare -A RES  # "<relay> <size> <key>" -> value

# run_load RELAY SIZE PORT PID MODE: one load run, its RESULT line stored in RES.
# Each run takes its source addresses from a fresh 127.N.0.0 block, so the
# server's per-address counts never see the connections of an earlier run.
RUN=0
run_load() {
  local relay=$1 size=$2 port=$3 pid=$4 mode=$5 out line kv
  shift 5
  RUN=$((RUN + 1))
  out=$("${ON_TOOL[@]}" "$LOAD" --mode "$mode" --port "$port" --pid "$pid" --listeners "$size" \
        --frames "$FRAMES" --rate "$RATE" --threads "$THREADS" --source "127.$RUN.0.2" "$@" 2>&1)
  echo "$out" | grep -v '^RESULT' | sed 's/^/    /'
  line=$(echo "$out" | grep '^RESULT' | tail -1)
  for kv in ${line#RESULT }; do RES["$relay $size ${kv%%=*}"]=${kv#*=}; done
}

echo "== bare fan-out relay"
if [ -x "$RELAY" ]; then
  port=$("$LOAD" --free-port)
  "${ON_RELAY[@]}" "$RELAY" "$port" & rpid=$!
  PIDS+=("$rpid")
  if "$LOAD" --wait-port "$port" --timeout-ms 10000; then
    for n in $SIZES; do run_load bare "$n" "$port" "$rpid" bare; done
  fi
else
  echo "    not available: $RELAY was not built (its shared source relay_bare.cpp is absent)"
fi

echo "== server"
if [ -x "$SERVER" ]; then
  port=$("$LOAD" --free-port)
  cat > "$WORK/server.ini" <<EOF
[Server]
PresentServerPort=$port
ListenServerPorts=$port/4
ServerOwnerEMail=owner@bench.invalid
MaxTotalConnections=5000
MaxConnectionsPerAddress=8
MaxWaitConnections=1000
ClientActivityTimeout=30
SpeechLimit=0
MaxSpeechTime=1800
[System]
${PER_THREAD:+ConnectionsPerThread=$PER_THREAD}
LogClientLevel=0
DataDir=$WORK
NetworksFileName=$WORK/networks.cfg
LogFile=$WORK/server.log
[Command]
CommandEnabled=0
EOF
  printf 'Test\n' > "$WORK/networks.cfg"
  "${ON_RELAY[@]}" "$SERVER" debug "$WORK/server.ini" > "$WORK/console.log" 2>&1 & spid=$!
  PIDS+=("$spid")
  if "$LOAD" --wait-port "$port" --timeout-ms 10000; then
    for n in $SIZES; do run_load server "$n" "$port" "$spid" qor; done
    if [ "$CHURN" -gt 0 ]; then
      big=${SIZES##* }
      echo "    -- $CHURN stations join and leave during the talk at $big listeners"
      run_load churn "$big" "$port" "$spid" qor --churn "$CHURN"
    fi
  else
    echo "    the server did not start; its output:"
    sed 's/^/    /' "$WORK/console.log" | tail -20
  fi
else
  echo "    server figures not available: $SERVER does not exist yet"
fi

# ratio A B: A/B with two decimals, or "-" when either is missing or B is 0
ratio() {
  awk -v a="${1:-}" -v b="${2:-}" 'BEGIN { if (a == "" || b == "" || b + 0 <= 0 || a + 0 < 0) print "-"; else printf "%.2f", a / b }'
}

echo
echo "== summary ($FRAMES frames at $RATE/s per run; latency in us, tool / kernel receive time)"
printf '%-9s %-7s %9s %9s %9s %10s %7s %9s %9s %10s %7s %13s\n' listeners relay delivery \
  p50 p99 max over50 kp50 kp99 kmax kover50 cpu_us/frame
for n in $SIZES; do
  for r in bare server churn; do
    [ -n "${RES[$r $n ok]:-}" ] || continue
    printf '%-9s %-7s %9s %9s %9s %10s %7s %9s %9s %10s %7s %13s\n' "$n" "$r" "${RES[$r $n delivery]:--}" \
      "${RES[$r $n p50_us]:--}" "${RES[$r $n p99_us]:--}" "${RES[$r $n max_us]:--}" "${RES[$r $n over50]:--}" \
      "${RES[$r $n kp50_us]:--}" "${RES[$r $n kp99_us]:--}" "${RES[$r $n kmax_us]:--}" "${RES[$r $n kover50]:--}" \
      "${RES[$r $n cpu_us_per_frame]:--}"
  done
done
echo
echo "== ratios to the bare relay (targets at 1000: cpu <= 1.0, p99 <= 1.0, none over 50 ms;"
echo "   at 100: cpu <= 1.2, p99 <= 1.5)"
for n in $SIZES; do
  for r in server churn; do
    if [ "${RES[$r $n ok]:-0}" != 1 ] || [ "${RES[bare $n ok]:-0}" != 1 ]; then
      [ "$r" = churn ] || echo "  $n listeners: not available (needs both relays)"
      continue
    fi
    echo "  $n listeners ($r): cpu $(ratio "${RES[$r $n cpu_us_per_frame]}" "${RES[bare $n cpu_us_per_frame]}")x," \
         "p99 $(ratio "${RES[$r $n p99_us]}" "${RES[bare $n p99_us]}")x," \
         "kernel p99 $(ratio "${RES[$r $n kp99_us]}" "${RES[bare $n kp99_us]}")x," \
         "p50 $(ratio "${RES[$r $n p50_us]}" "${RES[bare $n p50_us]}")x"
  done
done
