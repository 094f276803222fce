#!/usr/bin/env bash
# The relay benchmark: the bare fan-out relay (the physical reference) and the
# server, on this machine in one run, at 100 and 1,000 listeners; prints
# delivery, p50/p99 talker-to-listener latency, relay CPU per delivered frame
# and the server/bare ratios.
#
# Environment: BUILD (default build/plain), FRAMES measured frames per run
# (default 300), RATE frames per second (default 5, a real talker), SIZES
# (default "100 1000"), THREADS receiver threads of the load tool (default 2).
set -uo pipefail
cd "$(dirname "$0")/.."

BUILD=${BUILD:-build/plain}
FRAMES=${FRAMES:-300}
RATE=${RATE:-5}
SIZES=${SIZES:-100 1000}
THREADS=${THREADS:-2}
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
  RUN=$((RUN + 1))
  out=$("$LOAD" --mode "$mode" --port "$port" --pid "$pid" --listeners "$size" \
        --frames "$FRAMES" --rate "$RATE" --threads "$THREADS" --source "127.$RUN.0.2" 2>&1)
  echo "$out" | grep -v '^RESULT' | sed 's/^/    /'
  line=$(echo "$out" | grep '^RESULT' | tail -1)
  for kv in ${line#RESULT }; do RES["$relay $size ${kv%%=*}"]=${kv#*=}; done
}

# run_idle SIZE PORT PID: the same number of stations held idle for as long
# as a measured run lasts; the server's CPU meanwhile is what its protocol
# duties cost (keep-alives in, the floor pings out every 500 ms), which the
# bare relay has none of. Stored as RES["idle <size> hold_cpu_s"].
run_idle() {
  local size=$1 port=$2 pid=$3 out line kv hold
  RUN=$((RUN + 1))
  hold=$(awk -v f="$FRAMES" -v r="$RATE" 'BEGIN { printf "%d", f / r * 1000 }')
  out=$("$LOAD" --mode scale --port "$port" --pid "$pid" --clients "$size" --threads "$THREADS" \
        --hold-ms "$hold" --source "127.$RUN.0.2" 2>&1)
  line=$(echo "$out" | grep '^RESULT' | tail -1)
  for kv in ${line#RESULT }; do RES["idle $size ${kv%%=*}"]=${kv#*=}; done
  echo "    idle hold, $size stations: server cpu ${RES[idle $size hold_cpu_s]:--} s over ${RES[idle $size hold_s]:--} s"
}

echo "== bare fan-out relay"
if [ -x "$RELAY" ]; then
  port=$("$LOAD" --free-port)
  "$RELAY" "$port" & rpid=$!
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
LogClientLevel=0
DataDir=$WORK
NetworksFileName=$WORK/networks.cfg
LogFile=$WORK/server.log
[Command]
CommandEnabled=0
EOF
  printf 'Test\n' > "$WORK/networks.cfg"
  "$SERVER" debug "$WORK/server.ini" > "$WORK/console.log" 2>&1 & spid=$!
  PIDS+=("$spid")
  if "$LOAD" --wait-port "$port" --timeout-ms 10000; then
    for n in $SIZES; do
      run_load server "$n" "$port" "$spid" qor
      run_idle "$n" "$port" "$spid"
    done
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
echo "== summary ($FRAMES frames at $RATE/s per run)"
printf '%-10s %-7s %10s %12s %12s %16s\n' listeners relay delivery p50_us p99_us cpu_us/frame
for n in $SIZES; do
  for r in bare server; do
    [ -n "${RES[$r $n ok]:-}" ] || continue
    printf '%-10s %-7s %10s %12s %12s %16s\n' "$n" "$r" "${RES[$r $n delivery]:--}" \
      "${RES[$r $n p50_us]:--}" "${RES[$r $n p99_us]:--}" "${RES[$r $n cpu_us_per_frame]:--}"
  done
done
echo
echo "== ratios server/bare (targets: cpu <= 1.3; p99 <= 1.5 at 100 listeners, <= 1.0 at 1000)"
for n in $SIZES; do
  if [ "${RES[server $n ok]:-0}" != 1 ] || [ "${RES[bare $n ok]:-0}" != 1 ]; then
    echo "  $n listeners: not available (needs both relays)"
    continue
  fi
  echo "  $n listeners: cpu $(ratio "${RES[server $n cpu_us_per_frame]}" "${RES[bare $n cpu_us_per_frame]}")x," \
       "p99 $(ratio "${RES[server $n p99_us]}" "${RES[bare $n p99_us]}")x," \
       "p50 $(ratio "${RES[server $n p50_us]}" "${RES[bare $n p50_us]}")x"
  if [ -n "${RES[idle $n hold_cpu_s]:-}" ]; then
    net=$(awk -v c="${RES[server $n cpu_s]}" -v i="${RES[idle $n hold_cpu_s]}" -v d="${RES[server $n delivered]}" \
          'BEGIN { if (d + 0 > 0) printf "%.3f", (c - i) * 1e6 / d }')
    echo "    without the idle duties: ${net:--} us per delivered frame," \
         "cpu $(ratio "$net" "${RES[bare $n cpu_us_per_frame]}")x"
  fi
done
