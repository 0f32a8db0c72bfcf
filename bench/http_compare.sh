#!/usr/bin/env bash
# Loads this build's HTTP server and another build's side by side, on the
# same chain of 100,000 blocks and the same world of 100,000 lots, with wrk
# and one request per connection (Connection: close), and prints each one's
# rate of correct answers and p99, and their ratio. Every answer is checked
# against the one the server gave before the load (a wrk script); only
# correct ones count. The runs alternate (this, other, this, other) so that
# drift on the machine falls on both sides alike.
#   bench/http_compare.sh <build_dir> <other_build_dir> [seconds]
# Besides: a 4 KB page against nginx at 64 and 256 connections, and, when
# anvil (foundry) is on the PATH or in $ANVIL, the JSON-RPC reads against it.
# SERVER_CPUS and CLIENT_CPUS (taskset lists, e.g. 0-2 and 3-7) put every
# server on one set of cores and wrk on another, so that the rate is the
# server's and not the load generator's.
set -euo pipefail

BUILD=${1:?usage: http_compare.sh <build_dir> <other_build_dir> [seconds]}
OTHER=${2:?usage: http_compare.sh <build_dir> <other_build_dir> [seconds]}
DURATION_S=${3:-5}
THREADS=${WRK_THREADS:-4}
WARMUP_S=2
WRK_GRACE_S=15
START_TIMEOUT_S=60
CHAIN_BLOCKS=100000
GAME_LOTS=100000
readonly RPC_ADDRESS=0x00000000000000000000000000000000000000aa
# anvil's first prefunded account.
readonly ANVIL_ADDRESS=0xf39Fd6e51aad88F6F4ce6aB8827279cffFb92266

THIS_BIN=$(realpath -m "$BUILD/bench/http_server")
OTHER_BIN=$(realpath -m "$OTHER/bench/http_server")
GAME_BENCH_BIN=$(realpath -m "$BUILD/bench/game_bench")
for bin in "$THIS_BIN" "$OTHER_BIN" "$GAME_BENCH_BIN"; do
  [[ -x "$bin" ]] || { echo "missing $bin" >&2; exit 1; }
done
command -v wrk >/dev/null || { echo "wrk is missing (apt-get install -y wrk)" >&2; exit 1; }
NGINX_BIN=$(command -v nginx || echo /usr/sbin/nginx)
[[ -x "$NGINX_BIN" ]] || { echo "nginx is missing (apt-get install -y nginx)" >&2; exit 1; }
ANVIL_BIN=${ANVIL:-$(command -v anvil || true)}
SERVER_PIN=() CLIENT_PIN=()
[[ -n ${SERVER_CPUS:-} ]] && SERVER_PIN=(taskset -c "$SERVER_CPUS")
[[ -n ${CLIENT_CPUS:-} ]] && CLIENT_PIN=(taskset -c "$CLIENT_CPUS")

TMP=$(mktemp -d /tmp/http_compare.XXXXXX)
chmod 755 "$TMP"
PIDS=()
cleanup() {
  set +e
  for pid in "${PIDS[@]}"; do kill "$pid" 2>/dev/null; done
  for pid in "${PIDS[@]}"; do wait "$pid" 2>/dev/null; done
  rm -rf "$TMP"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
ulimit -n "$(ulimit -Hn)" 2>/dev/null || true

free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}
wait_listening() {  # port pid
  for _ in $(seq $((START_TIMEOUT_S * 10))); do
    kill -0 "$2" 2>/dev/null || return 1
    ss -ltnH "sport = :$1" | grep -q . && return 0
    sleep 0.1
  done
  return 1
}

# --- pages of 1 KB and 4 KB -------------------------------------------------
mkdir -p "$TMP/dapp" "$TMP/nginx"
page() {  # bytes
  local line='<p>Compra una parcella esagonale, costruisci impianti solari e raccogli i kWh.</p>'
  local text='<!DOCTYPE html><html lang="it"><head><meta charset="utf-8"><title>ZeriroRivi</title></head><body>'
  while ((${#text} < $1 - 15)); do text+=$line; done
  text=${text:0:$(($1 - 15))}
  printf '%s</body></html>\n' "$text"
}
page 1024 >"$TMP/dapp/index.html"
page 4096 >"$TMP/dapp/page4k.html"
chmod 644 "$TMP/dapp/"*.html

# --- the two servers ----------------------------------------------------------
"$GAME_BENCH_BIN" --generate "$TMP/world" "$GAME_LOTS" >/dev/null
start_server() {  # name binary
  mkdir -p "$TMP/$1"
  cp "$TMP/world/"* "$TMP/$1/"
  local port
  port=$(free_port)
  # Standard input stays open until the script ends: the server stops at its end.
  mkfifo "$TMP/$1.in"
  (cd "$TMP" && exec "${SERVER_PIN[@]}" "$2" "$port" "$TMP/dapp" "$TMP/$1" "$CHAIN_BLOCKS") \
    <"$TMP/$1.in" >"$TMP/$1.out" 2>&1 &
  PIDS+=($!)
  local held
  exec {held}>"$TMP/$1.in"
  wait_listening "$port" "$!" || { echo "$1 did not start:" >&2; cat "$TMP/$1.out" >&2; exit 1; }
  PORT[$1]=$port
  PID[$1]=$!
}
declare -A PORT PID
start_server this "$THIS_BIN"
start_server other "$OTHER_BIN"

cat >"$TMP/nginx.conf" <<EOF
daemon off;
worker_processes auto;
pid $TMP/nginx.pid;
error_log $TMP/nginx_error.log warn;
events { worker_connections 4096; }
http {
  access_log off;
  keepalive_timeout 0;
  types {}
  default_type "text/html; charset=utf-8";
  client_body_temp_path $TMP/nginx/body;
  proxy_temp_path $TMP/nginx/proxy;
  fastcgi_temp_path $TMP/nginx/fastcgi;
  uwsgi_temp_path $TMP/nginx/uwsgi;
  scgi_temp_path $TMP/nginx/scgi;
  server {
    listen 127.0.0.1:$(free_port | tee "$TMP/nginx.port");
    root $TMP/dapp;
  }
}
EOF
PORT[nginx]=$(cat "$TMP/nginx.port")
"${SERVER_PIN[@]}" "$NGINX_BIN" -e "$TMP/nginx_error.log" -p "$TMP" -c "$TMP/nginx.conf" >"$TMP/nginx.out" 2>&1 &
PIDS+=($!)
PID[nginx]=$!
wait_listening "${PORT[nginx]}" "$!" || { echo "nginx did not start" >&2; exit 1; }

if [[ -n "$ANVIL_BIN" && -x "$ANVIL_BIN" ]]; then
  PORT[anvil]=$(free_port)
  "${SERVER_PIN[@]}" "$ANVIL_BIN" --host 127.0.0.1 --port "${PORT[anvil]}" --silent >"$TMP/anvil.out" 2>&1 &
  PIDS+=($!)
  PID[anvil]=$!
  wait_listening "${PORT[anvil]}" "$!" || { echo "anvil did not start" >&2; cat "$TMP/anvil.out" >&2; exit 1; }
fi

# --- what is asked, and how each answer is checked ------------------------------
GAME_PLAYER=$(printf '0x%040x' $((1 * 2654435761 + 1)))
rpc_body() {  # method address
  case $1 in
    eth_blockNumber) echo '{"jsonrpc":"2.0","id":1,"method":"eth_blockNumber","params":[]}' ;;
    eth_chainId) echo '{"jsonrpc":"2.0","id":1,"method":"eth_chainId","params":[]}' ;;
    eth_getBalance) echo '{"jsonrpc":"2.0","id":1,"method":"eth_getBalance","params":["'"$2"'","latest"]}' ;;
    batch10) echo '[{"jsonrpc":"2.0","id":1,"method":"eth_chainId","params":[]},{"jsonrpc":"2.0","id":2,"method":"eth_blockNumber","params":[]},{"jsonrpc":"2.0","id":3,"method":"eth_getBalance","params":["'"$2"'","latest"]},{"jsonrpc":"2.0","id":4,"method":"eth_getTransactionCount","params":["'"$2"'","pending"]},{"jsonrpc":"2.0","id":5,"method":"eth_gasPrice","params":[]},{"jsonrpc":"2.0","id":6,"method":"eth_maxPriorityFeePerGas","params":[]},{"jsonrpc":"2.0","id":7,"method":"eth_getBlockByNumber","params":["latest",false]},{"jsonrpc":"2.0","id":8,"method":"net_version","params":[]},{"jsonrpc":"2.0","id":9,"method":"eth_estimateGas","params":[{"to":"'"$2"'","value":"0x1"}]},{"jsonrpc":"2.0","id":10,"method":"eth_feeHistory","params":["0x1","latest",[50]]}]' ;;
  esac
}

# A wrk script: the request, and a count of the answers that are right. An
# answer is right when its status is 200 and its body equals the one given
# before the load (mode "same"), or holds ten results and no error ("batch"),
# or begins with the player's state and lists their ten lots ("state").
write_script() {  # file method body expected mode
  cat >"$1" <<LUA
local threads = {}
function setup(thread) table.insert(threads, thread) end
function init(args) good = 0; bad = 0 end
wrk.method = "$2"
wrk.body = [==[$3]==]
if wrk.body == "" then wrk.body = nil else wrk.headers["Content-Type"] = "application/json" end
local expected = [==[$4]==]
local mode = "$5"
function response(status, headers, body)
  local right = status == 200
  if right and mode == "same" then right = body == expected end
  if right and mode == "batch" then
    local _, results = body:gsub('"result":', '')
    right = results == 10 and not body:find('"error"', 1, true)
  end
  if right and mode == "state" then
    right = body:sub(1, #expected) == expected and body:find('"parcels_count":10,', 1, true) ~= nil
  end
  if right then good = good + 1 else bad = bad + 1 end
end
function done(summary, latency, requests)
  local g, b = 0, 0
  for _, t in ipairs(threads) do g = g + t:get("good"); b = b + t:get("bad") end
  io.write(string.format("checked: %d right %d wrong\n", g, b))
end
LUA
}

# Each case: name, method, target, body for this node (empty for GET), check mode.
declare -A CASE_TARGET CASE_METHOD CASE_BODY CASE_MODE CASE_CONN
add_case() {  # name method target body mode connections
  CASE_METHOD[$1]=$2 CASE_TARGET[$1]=$3 CASE_BODY[$1]=$4 CASE_MODE[$1]=$5 CASE_CONN[$1]=$6
}
add_case page_1k GET / "" same 64
add_case page_4k GET /page4k.html "" same 64
add_case page_4k_c256 GET /page4k.html "" same 256
add_case eth_blockNumber POST / "$(rpc_body eth_blockNumber)" same 64
add_case eth_getBalance POST / "$(rpc_body eth_getBalance $RPC_ADDRESS)" same 64
add_case eth_chainId POST / "$(rpc_body eth_chainId)" same 64
add_case batch10 POST / "$(rpc_body batch10 $RPC_ADDRESS)" batch 64
add_case game_state GET "/api/game/state?addr=$GAME_PLAYER" "" state 64
add_case game_state_c256 GET "/api/game/state?addr=$GAME_PLAYER" "" state 256
CASES=(page_1k eth_blockNumber game_state eth_getBalance eth_chainId batch10 page_4k page_4k_c256 game_state_c256)

# The answer a server gives now, the one each answer under load must match.
expected_answer() {  # server case body
  local url="http://127.0.0.1:${PORT[$1]}${CASE_TARGET[$2]}"
  if [[ ${CASE_METHOD[$2]} == GET ]]; then
    curl -s --max-time 5 "$url"
  else
    curl -s --max-time 5 -H 'Content-Type: application/json' --data "$3" "$url"
  fi
}

prepare() {  # server case body -> script path
  local answer mode=${CASE_MODE[$2]}
  answer=$(expected_answer "$1" "$2" "$3")
  answer=$(expected_answer "$1" "$2" "$3")  # the first balance query credits a new wallet
  case $mode in
    same)
      [[ -n "$answer" ]] || { echo "$1 gave no answer to $2" >&2; exit 1; }
      [[ ${CASE_METHOD[$2]} == GET ]] && answer=$(cat "$TMP/dapp/${CASE_TARGET[$2]#/}" 2>/dev/null || cat "$TMP/dapp/index.html")
      ;;
    state) answer='{"status":"ok","server_authoritative":true,"address":"'$GAME_PLAYER'",' ;;
    batch) answer="" ;;
  esac
  # The page as served is the file itself; curl's $() dropped its last line feed.
  [[ $mode == same && ${CASE_METHOD[$2]} == GET ]] && answer+=$'\n'
  local script="$TMP/$1.$2.lua"
  write_script "$script" "${CASE_METHOD[$2]}" "$3" "$answer" "$mode"
  echo "$script"
}

run_wrk() {  # server case script seconds output
  timeout $(($4 + WRK_GRACE_S)) "${CLIENT_PIN[@]}" wrk -t"$THREADS" -c"${CASE_CONN[$2]}" -d"$4"s -H 'Connection: close' \
    --latency -s "$3" "http://127.0.0.1:${PORT[$1]}${CASE_TARGET[$2]}" >"$5" 2>&1
}

to_ms() {
  awk -v v="$1" 'BEGIN { n = v + 0
    if (v ~ /us$/) n /= 1000; else if (v ~ /ms$/) n += 0; else if (v ~ /s$/) n *= 1000
    printf "%.3f", n }'
}

# CPU time (clock ticks) of a server and every process it started: nginx's
# workers, anvil's binary under its launcher.
cpu_ticks() {  # pid
  local pids=("$1") i=0 total=0 task
  while ((i < ${#pids[@]})); do
    mapfile -t -O "${#pids[@]}" pids < <(pgrep -P "${pids[i]}" || true)
    ((i += 1))
  done
  for pid in "${pids[@]}"; do
    for task in /proc/"$pid"/task/*/stat; do
      total=$((total + $(awk '{print $14 + $15}' "$task" 2>/dev/null || echo 0)))
    done
  done
  echo "$total"
}

declare -A RIGHT SECONDS_RUN P99 WRONG TICKS
measure() {  # server case body
  local script out
  script=$(prepare "$1" "$2" "$3")
  run_wrk "$1" "$2" "$script" "$WARMUP_S" "$TMP/warmup.out" || true
  out="$TMP/$1.$2.$RANDOM.wrk"
  local ticks_before
  ticks_before=$(cpu_ticks "${PID[$1]}")
  run_wrk "$1" "$2" "$script" "$DURATION_S" "$out" || { cat "$out" >&2; exit 1; }
  TICKS[$1/$2]=$(( ${TICKS[$1/$2]:-0} + $(cpu_ticks "${PID[$1]}") - ticks_before ))
  local right wrong secs p99
  right=$(awk '/^checked:/ {print $2}' "$out")
  wrong=$(awk '/^checked:/ {print $4}' "$out")
  secs=$(awk '/ requests in / {v = $4; sub(/,$/, "", v); n = v + 0; if (v ~ /ms$/) n /= 1000; else if (v ~ /m$/ && v !~ /ms$/) n *= 60; print n}' "$out")
  p99=$(to_ms "$(awk '$1 == "99%" {print $2}' "$out")")
  [[ -n "$right" && -n "$secs" ]] || { echo "could not read wrk's output:" >&2; cat "$out" >&2; exit 1; }
  local key="$1/$2"
  RIGHT[$key]=$(( ${RIGHT[$key]:-0} + right ))
  WRONG[$key]=$(( ${WRONG[$key]:-0} + wrong ))
  SECONDS_RUN[$key]=$(awk -v a="${SECONDS_RUN[$key]:-0}" -v b="$secs" 'BEGIN { print a + b }')
  # The worse p99 of the rounds.
  P99[$key]=$(awk -v a="${P99[$key]:-0}" -v b="$p99" 'BEGIN { print (b > a ? b : a) }')
}

rate() { awk -v n="${RIGHT[$1]:-0}" -v s="${SECONDS_RUN[$1]:-0}" 'BEGIN { if (s > 0) printf "%.0f", n / s; else print "n/a" }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "n/a" }'; }

ROUNDS=2
for name in "${CASES[@]}"; do
  peers=(this other)
  [[ $name == page_4k* ]] && peers+=(nginx)
  [[ -n "${PORT[anvil]:-}" && ( $name == eth_* || $name == batch10 ) ]] && peers+=(anvil)
  for _ in $(seq $ROUNDS); do
    for peer in "${peers[@]}"; do
      body=${CASE_BODY[$name]}
      [[ $peer == anvil ]] && body=${body//$RPC_ADDRESS/$ANVIL_ADDRESS}
      measure "$peer" "$name" "$body"
    done
  done
done

echo
echo "wrk -t$THREADS, Connection: close, ${ROUNDS} alternating runs of ${DURATION_S}s each; only right answers count"
echo "this:  $THIS_BIN"
echo "other: $OTHER_BIN"
[[ -n ${SERVER_CPUS:-}${CLIENT_CPUS:-} ]] && echo "servers on cores ${SERVER_CPUS:-all}, wrk on cores ${CLIENT_CPUS:-all}"
printf '%-18s %5s %10s %10s %10s %10s %8s %9s %12s %12s\n' case conns "this/s" "other/s" "this p99" "other p99" ratio "p99 ratio" "nginx/anvil" "this/peer"
failed=0
for name in "${CASES[@]}"; do
  t=$(rate "this/$name") o=$(rate "other/$name")
  peer_rate="" peer_ratio=""
  for peer in nginx anvil; do
    if [[ -n "${RIGHT[$peer/$name]:-}" ]]; then
      peer_rate=$(rate "$peer/$name")
      peer_ratio=$(ratio "$t" "$peer_rate")
    fi
  done
  printf '%-18s %5s %10s %10s %10s %10s %8s %9s %12s %12s\n' "$name" "${CASE_CONN[$name]}" "$t" "$o" \
    "${P99[this/$name]}" "${P99[other/$name]}" "$(ratio "$t" "$o")" \
    "$(ratio "${P99[this/$name]}" "${P99[other/$name]}")" "${peer_rate:--}" "${peer_ratio:--}"
  for key in "${!WRONG[@]}"; do
    if [[ $key == */$name && ${WRONG[$key]} != 0 ]]; then
      echo "  ${WRONG[$key]} wrong answers from ${key%/*}" >&2
      failed=1
    fi
  done
done

# What each answer cost the server itself, on every core: wrk shares the
# machine, so at these rates the load generator's own CPU bounds the figures
# above; this is each server's side of it.
echo
echo "server CPU per right answer (microseconds, all threads and processes)"
printf '%-18s %10s %10s %12s\n' case this other nginx/anvil
TICK_US=$((1000000 / $(getconf CLK_TCK)))
cpu_per_answer() { awk -v t="${TICKS[$1]:-0}" -v n="${RIGHT[$1]:-0}" -v u="$TICK_US" 'BEGIN { if (n > 0) printf "%.1f", t * u / n; else print "-" }'; }
for name in "${CASES[@]}"; do
  peer_cpu=-
  for peer in nginx anvil; do
    [[ -n "${RIGHT[$peer/$name]:-}" ]] && peer_cpu=$(cpu_per_answer "$peer/$name")
  done
  printf '%-18s %10s %10s %12s\n' "$name" "$(cpu_per_answer "this/$name")" "$(cpu_per_answer "other/$name")" "$peer_cpu"
done
exit $failed
