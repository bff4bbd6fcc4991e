#!/usr/bin/env bash
# One run, side by side: the socket layer (no UI) beside a raw loopback byte sink, and the
# reference asyncio peer under the same 16-byte load. Usage: bench/peers/compare.sh [build]
set -euo pipefail
build=${1:-build}
here=$(dirname "$0")
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')

echo "== socket layer and raw sink"
echo "size     clients      messages/s         MB/s     raw MB/s    ratio"
for c in "16 8" "16 64" "65536 8" "65536 64"; do
  "$build/bench/socket/velmora_socket_bench" $c | sed -n 2p
done

echo "== asyncio peer, one log line per message into a file"
for n in 8 64; do
  out=$(mktemp)
  python3 "$here/python_server.py" --port "$port" --messages 2000000 --out "$out" --max-seconds 120 &
  server=$!
  until python3 -c "import socket; socket.create_connection(('127.0.0.1',$port)).close()" 2>/dev/null; do sleep 0.1; done
  "$build/bench/load/velmora_load_client" --port "$port" --connections "$n" \
    --messages $((2000000 / n)) --max-seconds 120 > /dev/null
  wait "$server"
  rm -f "$out"
done
