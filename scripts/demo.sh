#!/usr/bin/env bash
# The end-to-end demo: QUANTREL and a simulated PLC run as real processes under
# the run-time manager (zq run); this script plays the operator with zq tag and
# shows, step by step, what happens to the tags. Non-interactive; fails with a
# non-zero status and a clear message when a step does not give the expected
# result. Usage: scripts/demo.sh [BUILD_DIR]   (default: build)
#
# ZQ_DEMO_NAME overrides the application name (the database's name), so that
# a test can run beside a demo started by hand; ZQ_DEMO_KEEP=1 keeps the
# compiled application and the manager's output (run.log) afterwards;
# ZQ_DEMO_SIM=FILE runs the simulated PLC from another configuration.
set -euo pipefail

SRC=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=${1:-build}
[[ $BUILD = /* ]] || BUILD="$SRC/$BUILD"
ZQ="$BUILD/src/tools/zq"
QUANTREL_DIR="$BUILD/src/app"
NAME=${ZQ_DEMO_NAME:-demo}
WAIT_SECS=${ZQ_DEMO_WAIT:-10}   # longest wait for any one expected value
PAUSE_SECS=1                    # how long "nothing moves" is watched

START_NS=$(date +%s%N)
WORK=""
RUN_PID=""
RUN_STATUS=""
SHM="/dev/shm/zq.$NAME.plant.demo"

say() { printf '%s\n' "$*"; }
fail() {
  say ""
  say "demo: FAILED: $*"
  if [[ -n $WORK && -s $WORK/run.log ]]; then
    say "--- last lines of the run-time manager's output ($WORK/run.log) ---"
    tail -n 25 "$WORK/run.log"
  fi
  exit 1
}

# Stops the run-time manager (as Ctrl-C would) and waits for it; kills it
# only if it does not end. Leaves no process and no database behind.
stop_manager() {
  [[ -n $RUN_PID ]] || return 0
  local pid=$RUN_PID
  RUN_PID=""
  kill -TERM "$pid" 2>/dev/null || true
  local i
  for ((i = 0; i < 150; i++)); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  if kill -0 "$pid" 2>/dev/null; then
    say "demo: the run-time manager did not stop; killing pid $pid" >&2
    kill -KILL "$pid" 2>/dev/null || true
  fi
  RUN_STATUS=0
  wait "$pid" 2>/dev/null || RUN_STATUS=$?
}
cleanup() {
  local status=$?
  stop_manager
  # A manager that had to be killed cannot remove its database.
  [[ -e $SHM ]] && rm -f "$SHM"
  if [[ -n $WORK ]]; then
    if ((status == 0)) && [[ -z ${ZQ_DEMO_KEEP:-} ]]; then
      rm -rf "$WORK"
    else
      say "demo: files kept in $WORK" >&2
    fi
  fi
}
trap cleanup EXIT
trap 'say ""; say "demo: interrupted"; exit 130' INT TERM

# --- helpers --------------------------------------------------------------

tag() { "$ZQ" tag --app "$WORK/app" "$@"; }
# The value of one tag as zq tag shows it (text in quotes), or nothing.
val() { { tag get "$1" 2>/dev/null || true; } | sed -n 's/^[^=]* = //p'; }
# Prints tag values, indented.
show() {
  local out
  out=$(tag get "$@" 2>&1) || fail "zq tag get $*: $out"
  say "$out" | sed 's/^/      /'
}
# The operator writes tags; the assignments are shown.
set_tags() {
  local out
  out=$(tag set "$@" 2>&1) || fail "zq tag set $*: $out"
  say "    set  $*"
}
note() { say "    $*"; }
step() {
  say ""
  say "== $1"
  shift
  say "   $*"
}

# Conditions for wait_for: NAME is VALUE, NAME >= NUMBER, NAME differs from VALUE.
is() { [[ $(val "$1") == "$2" ]]; }
at_least() {
  local v
  v=$(val "$1")
  [[ $v =~ ^-?[0-9]+$ ]] && ((v >= $2))
}
differs() {
  local v
  v=$(val "$1")
  [[ -n $v && $v != "$2" ]]
}

# wait_for CONDITION NAME VALUE: polls every 50 ms until the condition holds;
# fails the demo after WAIT_SECS.
wait_for() {
  local cond=$1 name=$2 want=$3
  local deadline=$(($(date +%s%N) + WAIT_SECS * 1000000000))
  until "$cond" "$name" "$want"; do
    if (($(date +%s%N) > deadline)); then
      fail "waited ${WAIT_SECS}s for $name ($cond $want); it is $(val "$name")"
    fi
    if [[ -n $RUN_PID ]] && ! kill -0 "$RUN_PID" 2>/dev/null; then
      fail "the run-time manager ended while waiting for $name"
    fi
    sleep 0.05
  done
}
# wait_still NAME: waits until the tag keeps its value for 0.3 s.
wait_still() {
  local name=$1 v
  local deadline=$(($(date +%s%N) + WAIT_SECS * 1000000000))
  while true; do
    v=$(val "$name")
    sleep 0.3
    [[ $(val "$name") == "$v" ]] && return 0
    (($(date +%s%N) <= deadline)) || fail "$name kept changing for ${WAIT_SECS}s"
  done
}
# held_answer SOURCE: QUANTREL's mailbox holds an answer for that data source.
held_answer() { tag mbx QTL_MBX 2>/dev/null | grep -q " $1 ("; }
# expect NAME VALUE: the tag holds that value now.
expect() {
  local v
  v=$(val "$1")
  [[ $v == "$2" ]] || fail "$1 should be $2 but is $v"
}

# --- preparation ----------------------------------------------------------

[[ -x $ZQ ]] || fail "$ZQ not found: build first (make build, or give the build directory)"
[[ -x $QUANTREL_DIR/quantrel ]] || fail "$QUANTREL_DIR/quantrel not found: build first"
if [[ -e $SHM ]] && tag get QTL_STATUS >/dev/null 2>&1; then
  fail "an application named $NAME is already running (set ZQ_DEMO_NAME to run another)"
fi

WORK=$(mktemp -d "${TMPDIR:-/tmp}/zqdemo.XXXXXX")
say "QUANTREL demo: QUANTREL and a simulated PLC (zq sim) run under the run-time"
say "manager (zq run); this script plays the operator with 'zq tag'."
say ""
say "Compiling examples/demo/app.toml into $WORK/app"
sed "s/^name = \"demo\"/name = \"$NAME\"/" "$SRC/examples/demo/app.toml" >"$WORK/app.toml"
out=$("$ZQ" ct build "$WORK/app.toml" --out "$WORK/app" 2>&1) || fail "zq ct build: $out"
say "  $out"
cp "${ZQ_DEMO_SIM:-$SRC/examples/demo/sim.toml}" "$WORK/app/sim.toml"

say "Starting: zq run --app $WORK/app   (its output goes to $WORK/run.log)"
"$ZQ" run --app "$WORK/app" --plain --bin "$QUANTREL_DIR" >"$WORK/run.log" 2>&1 &
RUN_PID=$!
wait_for is QTL_STATUS 1
# The data sources are queried in order at start: once LIVE has read and
# EVENTS has received, TANK, RECIPE and SETPT have their query replies too.
wait_for is LIVE_RREADY 1
wait_for is EV_RREADY 1
say "QUANTREL and the PLC are running (their status and message tags):"
show QTL_STATUS QTL_MSG PLC1_STATUS

# --- 1 ----------------------------------------------------------------------
step "1. Triggered read" \
  "TANK is read only when its read trigger TANK_READ is set; the PLC's values land in the tags."
note "before:"
show TANK_LEVEL TANK_TEMP
set_tags TANK_READ=1
wait_for is TANK_RREADY 1
note "after (TANK_RREADY = 1 says the read is complete, TANK_STATUS = 0 that it succeeded):"
show TANK_LEVEL TANK_TEMP TANK_STATUS
expect TANK_LEVEL[0] 120
expect TANK_LEVEL[3] 780
expect TANK_TEMP 21.5
expect TANK_STATUS 0

# --- 2 ----------------------------------------------------------------------
step "2. Continuous read" \
  "LIVE has no read trigger: QUANTREL reads it again as soon as each answer arrives, so the tags follow the PLC's counter and sine wave."
c1=$(val LIVE_COUNTER)
note "now:"
show LIVE_COUNTER LIVE_WAVE
wait_for at_least LIVE_COUNTER $((c1 + 5))
note "a moment later, without any trigger:"
show LIVE_COUNTER LIVE_WAVE

# --- 3 ----------------------------------------------------------------------
step "3. Block write" \
  "Setting RCP_WRITE makes QUANTREL read all of RECIPE's tags, pack them into one device block and send it to the PLC."
set_tags RCP_SPEED=1500 RCP_TIME=86400 RCP_RATIO=0.75
set_tags RCP_WRITE=1
wait_for is RCP_WREADY 1
expect RCP_STATUS 0
note "the PLC acknowledged (RCP_WREADY = 1, RCP_STATUS = 0). To show the PLC holds the block,"
note "clear the tags here and read the block back:"
set_tags RCP_SPEED=0 RCP_TIME=0 RCP_RATIO=0
set_tags RCP_READ=1
wait_for is RCP_RREADY 1
show RCP_SPEED RCP_TIME RCP_RATIO RCP_STATUS
expect RCP_SPEED 1500
expect RCP_TIME 86400
expect RCP_RATIO 0.75

# --- 4 ----------------------------------------------------------------------
step "4. Write on change" \
  "SETPT is in write mode 1: each change of one of its tags is sent to the PLC at once, on its own. SP_VALVE_DEV reads the same PLC address back."
set_tags SP_VALVE=42
wait_for is SP_WREADY 1
expect SP_STATUS 0
note "written (SP_WREADY = 1, SP_STATUS = 0); reading SETPT back from the PLC:"
set_tags SP_READ=1
wait_for is SP_RREADY 1
show SP_VALVE SP_VALVE_DEV SP_STATUS
expect SP_VALVE_DEV 42

# --- 5 ----------------------------------------------------------------------
step "5. Unsolicited data" \
  "EVENTS is never asked for: the PLC sends its block on its own every 300 ms and QUANTREL writes it into the tags."
e1=$(val EV_COUNT)
show EV_COUNT
wait_for differs EV_COUNT "$e1"
note "a moment later, without any request:"
show EV_COUNT EV_RREADY EV_STATUS
expect EV_STATUS 0

# --- 6 ----------------------------------------------------------------------
step "6. A provider error reaches the status tag" \
  "The simulated PLC refuses writes to SETPT's address 1 (error injection, code 1002); the refusal shows in SP_STATUS and in QUANTREL's message tag."
set_tags SP_WREADY=0
set_tags SP_LIMIT=120
wait_for is SP_WREADY 1
show SP_STATUS QTL_MSG
expect SP_STATUS 1002
set_tags SP_READ=0 SP_RREADY=0
set_tags SP_READ=1
wait_for is SP_RREADY 1
note "read back: the PLC still holds its own limit:"
show SP_LIMIT_DEV
expect SP_LIMIT_DEV 90

# --- 7 ----------------------------------------------------------------------
step "7. Sync handshake" \
  "After each answer for SYNCED, QUANTREL sets SY_SYNC to 1 and holds further answers in its mailbox until another task resets SY_SYNC to 0."
set_tags SY_READ=1
wait_for is SY_SYNC 1
s1=$(val SY_COUNTER)
note "first read answered, handshake set:"
show SY_COUNTER SY_SYNC
sleep 0.5   # the PLC's counter moves on meanwhile
set_tags SY_READ=0
set_tags SY_READ=1
wait_for held_answer SYNCED ""
sleep "$PAUSE_SECS"
note "the PLC answered the second read, but the answer waits in QUANTREL's mailbox"
note "(zq tag mbx QTL_MBX), and ${PAUSE_SECS}s later the tags still hold the first answer:"
mbx=$(tag mbx QTL_MBX) || fail "zq tag mbx QTL_MBX failed"
say "$mbx" | awk 'NR == 2 || / SYNCED \(/' | sed 's/^/      /'
# The answer's data: the 8-byte block header, then the counter (little-endian).
data=$(say "$mbx" | awk '/ SYNCED \(/ { print $NF; exit }')
held=""
if [[ $data =~ ^[0-9a-fA-F]{24}$ ]]; then
  d=${data:16:8}
  held=$((16#${d:6:2}${d:4:2}${d:2:2}${d:0:2}))
  note "(its last four bytes, ${data:16:8}, are the PLC's counter when it answered: $held)"
fi
show SY_COUNTER SY_SYNC
expect SY_COUNTER "$s1"
set_tags SY_SYNC=0
if [[ -n $held ]]; then
  wait_for is SY_COUNTER "$held"
else
  wait_for differs SY_COUNTER "$s1"
fi
note "the held answer arrived, and the handshake is set again:"
wait_for is SY_SYNC 1
show SY_COUNTER SY_SYNC

# --- 8 ----------------------------------------------------------------------
step "8. Read inhibit" \
  "Setting LIVE_INHIBIT pauses LIVE's continuous read; resetting it starts the reads again."
set_tags LIVE_INHIBIT=1
wait_still LIVE_COUNTER   # an answer already on its way still arrives
i1=$(val LIVE_COUNTER)
note "paused at:"
show LIVE_COUNTER
sleep "$PAUSE_SECS"
note "${PAUSE_SECS}s later the tag has not moved, though the PLC's counter has:"
show LIVE_COUNTER
expect LIVE_COUNTER "$i1"
set_tags LIVE_INHIBIT=0
wait_for differs LIVE_COUNTER "$i1"
note "reading again:"
show LIVE_COUNTER

# --- stop -------------------------------------------------------------------
step "STOP" "The run-time manager asks every task to stop (as Ctrl-C would) and removes the database."
stop_manager
note "the run-time manager's output, from start to end:"
sed -e '/^\s*$/d' -e 's/^/      /' "$WORK/run.log"
grep -q "Quantrel stopped" "$WORK/run.log" || fail "QUANTREL did not report its stop"
grep -q "every task stopped cleanly" "$WORK/run.log" || fail "the tasks did not stop cleanly"
[[ $RUN_STATUS == 0 ]] || fail "zq run ended with status $RUN_STATUS"
if grep -qE "runtime error:|ERROR: [A-Za-z]+Sanitizer" "$WORK/run.log"; then
  fail "a sanitizer reported an error (see $WORK/run.log)"
fi
[[ -e $SHM ]] && fail "the database $SHM was left behind"
elapsed=$((($(date +%s%N) - START_NS) / 1000000))
say ""
say "demo: every step gave the expected result ($((elapsed / 1000)).$(printf '%03d' $((elapsed % 1000))) s)"
