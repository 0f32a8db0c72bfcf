#!/usr/bin/env bash
# Serves the same small page from the node's HTTP server and from nginx, both
# on 127.0.0.1 with one request per connection, loads each with the same wrk
# settings and prints requests per second and p99 latency side by side; then,
# in the same run and beside its static page, loads the node with two
# JSON-RPC reads (eth_blockNumber, eth_getBalance), a batch of ten reads as a
# wallet sends it, three JSON API reads
# (/api/info, /api/explorer/blocks?limit=15, and /api/explorer/address for an
# address with 10,000 transactions), over a chain of 100,000 blocks; three
# game reads (/api/game/viewport with 600 lots in view and as a phone's map
# screen, /api/game/state of a player with 10 lots) on a world of 100,000
# lots of 10,000 players; the community list and a random quiz question; and a
# password login (/api/auth/login, which journals the account every time).
#   bench/http_load.sh [build_dir]   (default ./build; needs bench/http_server
#   and bench/game_bench)
# Fails when either server gives any answer other than 2xx/3xx.
set -euo pipefail

BUILD=${1:-./build}
# Same load for every run; the whole run stays near 150 s.
THREADS=4
CONNECTIONS=64
DURATION_S=10
WARMUP_S=2
# Hard stop for one wrk run, beyond its own duration.
WRK_GRACE_S=15
# How long a server may take to start listening.
START_TIMEOUT_S=30
# The node's chain: 100,000 blocks, one address in 10,000 of them.
CHAIN_BLOCKS=100000
readonly WATCHED=0x00000000000000000000000000000000000000cc

SERVER_BIN=$(realpath -m "$BUILD/bench/http_server")
if [[ ! -x "$SERVER_BIN" ]]; then
  echo "missing $SERVER_BIN: build the http_server target first" >&2
  exit 1
fi
GAME_BENCH_BIN=$(realpath -m "$BUILD/bench/game_bench")
if [[ ! -x "$GAME_BENCH_BIN" ]]; then
  echo "missing $GAME_BENCH_BIN: build the game_bench target first" >&2
  exit 1
fi
# The game world: 100,000 lots, 10 per player, each player's a district
# somewhere in Italy (game_bench --generate).
GAME_LOTS=100000

install_tools() {
  local missing=()
  command -v wrk >/dev/null || missing+=(wrk)
  command -v nginx >/dev/null || [[ -x /usr/sbin/nginx ]] || missing+=(nginx)
  command -v curl >/dev/null || missing+=(curl)
  [[ ${#missing[@]} -eq 0 ]] && return 0
  echo "installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get install -y --no-install-recommends "${missing[@]}" >/dev/null ||
    { apt-get update >/dev/null && apt-get install -y --no-install-recommends "${missing[@]}" >/dev/null; }
}
install_tools
NGINX_BIN=$(command -v nginx || echo /usr/sbin/nginx)

TMP=$(mktemp -d /tmp/http_load.XXXXXX)
# nginx's workers run as an unprivileged user and must read the page.
chmod 755 "$TMP"
NODE_PID=""
NGINX_PID=""

cleanup() {
  set +e
  if [[ -n "$NODE_PID" ]]; then
    exec 3>&-  # end of file on the node's standard input: it stops by itself
    for _ in $(seq 50); do kill -0 "$NODE_PID" 2>/dev/null || break; sleep 0.1; done
    kill -0 "$NODE_PID" 2>/dev/null && echo "the node did not stop on end of input; killing it" >&2
    kill "$NODE_PID" 2>/dev/null
    wait "$NODE_PID" 2>/dev/null
  fi
  if [[ -n "$NGINX_PID" ]]; then
    kill "$NGINX_PID" 2>/dev/null
    wait "$NGINX_PID" 2>/dev/null
  fi
  rm -rf "$TMP"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

ulimit -n "$(ulimit -Hn)" 2>/dev/null || true

# --- the page: about 2 KB of Italian text --------------------------------
mkdir -p "$TMP/dapp" "$TMP/data" "$TMP/nginx"
{
  echo '<!DOCTYPE html>'
  echo '<html lang="it"><head><meta charset="utf-8"><title>ZeriroRivi</title></head><body>'
  echo '<h1>ZeriroRivi: energia rinnovabile sulla mappa</h1>'
  for _ in 1 2 3 4 5 6 7 8; do
    echo '<p>Compra una parcella esagonale di cento metri quadrati nel punto in cui ti trovi,'
    echo 'costruisci impianti solari, eolici e di accumulo, raccogli i kWh prodotti e'
    echo 'trasformali in RUZ sulla catena. Unisciti a una comunita energetica.</p>'
  done
  echo '</body></html>'
} >"$TMP/dapp/index.html"
chmod 644 "$TMP/dapp/index.html"

# --- two free ports on the loopback address ------------------------------
read -r NODE_PORT NGINX_PORT < <(python3 -c '
import socket
held = []
for _ in range(2):
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    held.append(s)
print(*(s.getsockname()[1] for s in held))
')

wait_listening() {  # port pid
  for _ in $(seq $((START_TIMEOUT_S * 10))); do
    kill -0 "$2" 2>/dev/null || return 1
    ss -ltnH "sport = :$1" | grep -q . && return 0
    sleep 0.1
  done
  return 1
}

# --- the node ------------------------------------------------------------
"$GAME_BENCH_BIN" --generate "$TMP/data" "$GAME_LOTS"
mkfifo "$TMP/node.in"
# Run from the temp dir so that nothing the server reads or writes lands in
# the caller's directory.
(cd "$TMP" && exec "$SERVER_BIN" "$NODE_PORT" "$TMP/dapp" "$TMP/data" "$CHAIN_BLOCKS") \
  <"$TMP/node.in" >"$TMP/node.out" 2>&1 &
NODE_PID=$!
exec 3>"$TMP/node.in"
for _ in $(seq $((START_TIMEOUT_S * 10))); do
  grep -qx ready "$TMP/node.out" && break
  kill -0 "$NODE_PID" 2>/dev/null || break
  sleep 0.1
done
if ! grep -qx ready "$TMP/node.out"; then
  echo "the node did not start:" >&2
  cat "$TMP/node.out" >&2
  exit 1
fi

# --- nginx ---------------------------------------------------------------
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
    listen 127.0.0.1:$NGINX_PORT;
    root $TMP/dapp;
    location = / { try_files /index.html =404; }
  }
}
EOF
# 3>&-: nginx must not hold the node's standard input open.
"$NGINX_BIN" -e "$TMP/nginx_error.log" -p "$TMP" -c "$TMP/nginx.conf" >"$TMP/nginx.out" 2>&1 3>&- &
NGINX_PID=$!
if ! wait_listening "$NGINX_PORT" "$NGINX_PID"; then
  echo "nginx did not start:" >&2
  cat "$TMP/nginx.out" "$TMP/nginx_error.log" >&2 2>/dev/null || true
  exit 1
fi

# --- both answer 200 with the same page ----------------------------------
for name in node nginx; do
  port=$NODE_PORT
  [[ $name == nginx ]] && port=$NGINX_PORT
  code=$(curl -s --max-time 5 -o "$TMP/$name.body" -w '%{http_code}' "http://127.0.0.1:$port/" || true)
  if [[ "$code" != 200 ]]; then
    echo "$name answered $code instead of 200" >&2
    exit 1
  fi
done
if ! cmp -s "$TMP/dapp/index.html" "$TMP/node.body" || ! cmp -s "$TMP/dapp/index.html" "$TMP/nginx.body"; then
  echo "the servers do not answer the same page" >&2
  exit 1
fi

# --- load ----------------------------------------------------------------
run_wrk() {  # url seconds output [lua script]
  local script=()
  [[ $# -ge 4 && -n "$4" ]] && script=(-s "$4")
  timeout $(($2 + WRK_GRACE_S)) wrk -t"$THREADS" -c"$CONNECTIONS" -d"$2"s \
    -H 'Connection: close' --latency "${script[@]}" "$1" >"$3" 2>&1
}

# JSON-RPC reads, POSTed to the node as a wallet sends them. Each answer is
# deterministic and checked with curl before the load.
readonly RPC_ADDRESS=0x00000000000000000000000000000000000000aa
declare -A RPC_BODY=(
  [eth_blockNumber]='{"jsonrpc":"2.0","id":1,"method":"eth_blockNumber","params":[]}'
  [eth_getBalance]='{"jsonrpc":"2.0","id":1,"method":"eth_getBalance","params":["'$RPC_ADDRESS'","latest"]}'
  [batch10]='[{"jsonrpc":"2.0","id":1,"method":"eth_chainId","params":[]},
{"jsonrpc":"2.0","id":2,"method":"eth_blockNumber","params":[]},
{"jsonrpc":"2.0","id":3,"method":"eth_getBalance","params":["'$RPC_ADDRESS'","latest"]},
{"jsonrpc":"2.0","id":4,"method":"eth_getTransactionCount","params":["'$RPC_ADDRESS'","pending"]},
{"jsonrpc":"2.0","id":5,"method":"eth_gasPrice","params":[]},
{"jsonrpc":"2.0","id":6,"method":"eth_maxPriorityFeePerGas","params":[]},
{"jsonrpc":"2.0","id":7,"method":"eth_getBlockByNumber","params":["latest",false]},
{"jsonrpc":"2.0","id":8,"method":"net_version","params":[]},
{"jsonrpc":"2.0","id":9,"method":"eth_estimateGas","params":[{"to":"'$RPC_ADDRESS'","value":"0x1"}]},
{"jsonrpc":"2.0","id":10,"method":"eth_feeHistory","params":["0x1","latest",[50]]}]'
)
declare -A RPC_ANSWER=(
  [eth_blockNumber]='{"jsonrpc":"2.0","id":1,"result":"0x1869f"}'
  [eth_getBalance]='{"jsonrpc":"2.0","id":1,"result":"0x56bc75e2d63100000"}'
)
for method in eth_blockNumber eth_getBalance batch10; do
  # A Lua long string keeps the body's quotes and line breaks as they are.
  cat >"$TMP/$method.lua" <<LUA
wrk.method = "POST"
wrk.body = [==[${RPC_BODY[$method]}]==]
wrk.headers["Content-Type"] = "application/json"
LUA
  # The first balance query credits the address; later ones only read.
  for _ in 1 2; do
    answer=$(curl -s --max-time 5 -H 'Content-Type: application/json' \
      --data "${RPC_BODY[$method]}" "http://127.0.0.1:$NODE_PORT/" || true)
  done
  if [[ $method == batch10 ]]; then
    # Ten results and no error; the block object's fields follow the chain.
    results=$(grep -o '"result":' <<<"$answer" | wc -l || true)
    if [[ "$results" != 10 || "$answer" == *'"error"'* ]]; then
      echo "batch10 answered ${answer:0:300}" >&2
      exit 1
    fi
  elif [[ "$answer" != "${RPC_ANSWER[$method]}" ]]; then
    echo "$method answered $answer instead of ${RPC_ANSWER[$method]}" >&2
    exit 1
  fi
done

# JSON API reads, GET as the pages send them, each checked with curl first.
declare -A API_TARGET=(
  [api_info]="/api/info?addr=$WATCHED"
  [explorer_blocks]="/api/explorer/blocks?limit=15"
  [explorer_address]="/api/explorer/address?addr=$WATCHED"
)
answer=$(curl -s --max-time 5 "http://127.0.0.1:$NODE_PORT${API_TARGET[api_info]}" || true)
expected='{"block_height":99999,"total_supply":21000000,"total_staked":2000,"active_validators":1,"user_balance":123,"user_stake":2000,"is_validator":true}'
if [[ "$answer" != "$expected" ]]; then
  echo "/api/info answered $answer instead of $expected" >&2
  exit 1
fi
listed=$(curl -s --max-time 5 "http://127.0.0.1:$NODE_PORT${API_TARGET[explorer_blocks]}" | grep -o '"index":' | wc -l || true)
if [[ "$listed" != 15 ]]; then
  echo "/api/explorer/blocks?limit=15 listed $listed blocks" >&2
  exit 1
fi
answer=$(curl -s --max-time 5 "http://127.0.0.1:$NODE_PORT${API_TARGET[explorer_address]}" || true)
if [[ "$answer" != *'"tx_count":100,'* ]]; then
  echo "/api/explorer/address did not list 100 transactions: ${answer:0:200}" >&2
  exit 1
fi

# Game reads: a map of one square degree around Rome (over 600 lots in the
# rectangle, so the answer holds exactly 600: the largest answer), and the
# state of the generator's player 1, who owns 10 lots.
GAME_PLAYER=$(printf '0x%040x' $((1 * 2654435761 + 1)))
API_TARGET[game_viewport]="/api/game/viewport?minLat=41.4&maxLat=42.4&minLon=12.0&maxLon=13.0&addr=$GAME_PLAYER"
API_TARGET[game_state]="/api/game/state?addr=$GAME_PLAYER"
answer=$(curl -s --max-time 5 "http://127.0.0.1:$NODE_PORT${API_TARGET[game_viewport]}" || true)
listed=$(grep -o '"key":' <<<"$answer" | wc -l || true)
if [[ "$answer" != '{"status":"ok",'* || "$listed" != 600 ]]; then
  echo "/api/game/viewport listed $listed lots: ${answer:0:200}" >&2
  exit 1
fi
answer=$(curl -s --max-time 5 "http://127.0.0.1:$NODE_PORT${API_TARGET[game_state]}" || true)
if [[ "$answer" != '{"status":"ok","server_authoritative":true,"address":"'$GAME_PLAYER'",'*'"parcels_count":10,'* ]]; then
  echo "/api/game/state answered ${answer:0:200}" >&2
  exit 1
fi
# And a map screen as a phone shows it: about a kilometre around the
# player's first lot, the player's own district in it.
read -r GAME_LAT GAME_LON < <(grep -o '"lat":[-0-9.]*,"lon":[-0-9.]*' <<<"$answer" | head -1 |
  awk -F'[:,]' '{print $2, $4}')
API_TARGET[game_map_screen]=$(awk -v a="$GAME_LAT" -v o="$GAME_LON" -v p="$GAME_PLAYER" 'BEGIN {
  printf "/api/game/viewport?minLat=%.6f&maxLat=%.6f&minLon=%.6f&maxLon=%.6f&addr=%s", a - 0.005, a + 0.005, o - 0.007, o + 0.007, p }')
answer=$(curl -s --max-time 5 "http://127.0.0.1:$NODE_PORT${API_TARGET[game_map_screen]}" || true)
mine=$(grep -o '"is_mine":true' <<<"$answer" | wc -l || true)
if [[ "$answer" != '{"status":"ok",'* || "$mine" != 10 ]]; then
  echo "the map screen around $GAME_LAT,$GAME_LON showed $mine of the player's lots: ${answer:0:200}" >&2
  exit 1
fi

# wrk prints latencies as 812.00us, 1.25ms or 1.02s; all become milliseconds.
to_ms() {
  awk -v v="$1" 'BEGIN {
    n = v + 0
    if (v ~ /us$/) n /= 1000; else if (v ~ /ms$/) n += 0; else if (v ~ /m$/) n *= 60000; else if (v ~ /s$/) n *= 1000
    printf "%.3f", n }'
}

# The node's CPU time (user + system) in clock ticks.
node_ticks() { awk '{print $14 + $15}' "/proc/$NODE_PID/stat"; }
CLOCK_TICKS=$(getconf CLK_TCK)

# Other work on the machine drifts over a run, so each JSON-RPC and API read
# is compared with a page run made just before it (page_<name>). The node's
# CPU time per answer does not depend on that drift.
declare -A RPS P99 NON2XX ERRORS CPU_US
READS=(eth_blockNumber eth_getBalance batch10 api_info explorer_blocks explorer_address game_viewport game_map_screen game_state)

# Community and quiz reads (the seeded three communities and six questions),
# each checked with curl first.
API_TARGET[cer_list]="/api/cer/list"
API_TARGET[quiz_random]="/api/quiz/random?addr=$WATCHED"
answer=$(curl -s --max-time 5 "http://127.0.0.1:$NODE_PORT${API_TARGET[cer_list]}" || true)
expected_head='{"status":"ok","count":3,"communities":[{"id":"cer_solare_italia","name":"Comunita Solare Italia",'
if [[ "$answer" != "$expected_head"* || "$answer" != *'"id":"cer_idrogeno_verde"'*'"weekly_score":290,"total_kwh":7400.00}]}' ]]; then
  echo "/api/cer/list answered ${answer:0:300}" >&2
  exit 1
fi
answer=$(curl -s --max-time 5 "http://127.0.0.1:$NODE_PORT${API_TARGET[quiz_random]}" || true)
if [[ ! "$answer" =~ ^\{\"status\":\"ok\",\"has_question\":true,\"question\":\{\"id\":\"quiz_seed_[1-6]\" ]]; then
  echo "/api/quiz/random answered ${answer:0:300}" >&2
  exit 1
fi
READS+=(cer_list quiz_random)

# Password login: every answer issues a new session token, so each request
# rewrites and syncs the world file before it is answered. One account is
# registered, and its login checked with curl, before the load.
API_TARGET[auth_login]="/api/auth/login?identifier=bench%40rozeve.it&password=segreta1"
curl -s --max-time 5 --data 'username=bench&email=bench%40rozeve.it&password=segreta1' \
  "http://127.0.0.1:$NODE_PORT/api/auth/register" >/dev/null || true
answer=$(curl -s --max-time 5 "http://127.0.0.1:$NODE_PORT${API_TARGET[auth_login]}" || true)
if [[ "$answer" != '{"status":"ok","message":"Accesso eseguito con successo!","session_token":"tok_'* ]]; then
  echo "/api/auth/login answered ${answer:0:200}" >&2
  exit 1
fi
READS+=(auth_login)
RUNS=(node nginx)
for name in "${READS[@]}"; do RUNS+=("page_$name" "$name"); done
for name in "${RUNS[@]}"; do
  url="http://127.0.0.1:$NODE_PORT/"
  [[ $name == nginx ]] && url="http://127.0.0.1:$NGINX_PORT/"
  [[ -n "${API_TARGET[$name]:-}" ]] && url="http://127.0.0.1:$NODE_PORT${API_TARGET[$name]}"
  script=""
  [[ $name == eth_* || $name == batch10 ]] && script="$TMP/$name.lua"
  run_wrk "$url" "$WARMUP_S" "$TMP/$name.warmup" "$script" || true
  ticks_before=$(node_ticks)
  run_wrk "$url" "$DURATION_S" "$TMP/$name.wrk" "$script" || { cat "$TMP/$name.wrk" >&2; exit 1; }
  ticks_after=$(node_ticks)
  out="$TMP/$name.wrk"
  answered=$(awk '/ requests in / {print $1}' "$out")
  CPU_US[$name]="n/a"
  if [[ $name != nginx && -n "$answered" && "$answered" -gt 0 ]]; then
    CPU_US[$name]=$(awk -v t=$((ticks_after - ticks_before)) -v hz="$CLOCK_TICKS" -v n="$answered" \
      'BEGIN { printf "%.1f", t * 1000000 / hz / n }')
  fi
  RPS[$name]=$(awk '/^Requests\/sec:/ {print $2}' "$out")
  P99[$name]=$(to_ms "$(awk '$1 == "99%" {print $2}' "$out")")
  NON2XX[$name]=$(awk -F: '/Non-2xx or 3xx responses/ {gsub(/ /, "", $2); print $2}' "$out")
  NON2XX[$name]=${NON2XX[$name]:-0}
  ERRORS[$name]=$(awk '/Socket errors:/ {
      n = 0; for (i = 3; i <= NF; i++) { v = $i; gsub(/,/, "", v); if (v ~ /^[0-9]+$/) n += v }
      print n }' "$out")
  ERRORS[$name]=${ERRORS[$name]:-0}
  if [[ -z "${RPS[$name]}" ]]; then
    echo "could not read wrk's output for $name:" >&2
    cat "$out" >&2
    exit 1
  fi
done

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "n/a" }'; }

echo
echo "GET / ($(wc -c <"$TMP/dapp/index.html") bytes), Connection: close, wrk -t$THREADS -c$CONNECTIONS -d${DURATION_S}s"
printf '%-24s %14s %12s %16s %10s %14s\n' run "requests/s" "p99 (ms)" "node CPU us/req" non-2xx "socket errors"
for name in "${RUNS[@]}"; do
  label="node $name"
  [[ $name == node || $name == page_* ]] && label="node GET /"
  [[ $name == nginx ]] && label="nginx GET /"
  printf '%-24s %14s %12s %16s %10s %14s\n' "$label" "${RPS[$name]}" "${P99[$name]}" "${CPU_US[$name]}" \
    "${NON2XX[$name]}" "${ERRORS[$name]}"
done
echo
printf '%-28s %10s %10s %10s\n' ratio "req/s" "p99" "CPU/req"
printf '%-28s %10s %10s %10s\n' "node / nginx (page)" "$(ratio "${RPS[node]}" "${RPS[nginx]}")" \
  "$(ratio "${P99[node]}" "${P99[nginx]}")" "n/a"
for name in "${READS[@]}"; do
  page="page_$name"
  printf '%-28s %10s %10s %10s\n' "$name / node page" "$(ratio "${RPS[$name]}" "${RPS[$page]}")" \
    "$(ratio "${P99[$name]}" "${P99[$page]}")" "$(ratio "${CPU_US[$name]}" "${CPU_US[$page]}")"
done

for name in "${RUNS[@]}"; do
  if [[ "${NON2XX[$name]}" != 0 ]]; then
    echo "non-2xx answers seen in the $name run" >&2
    exit 1
  fi
done
