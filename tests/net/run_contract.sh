#!/usr/bin/env bash
# run_contract.sh <server> <native-build-dir|-> -- <suite command...>
# Starts the native transport test server, runs the contract suite against it, stops it.
set -uo pipefail
server=$1
native_dir=$2
shift 3

if [ ! -x "$server" ] && [ "$native_dir" != "-" ]; then
  if [ -f "$native_dir/CMakeCache.txt" ]; then
    cmake --build "$native_dir" --target transport_test_server >&2 || exit 1
  else
    echo "run_contract: no native server at $server; run 'bash scripts/build native' first" >&2
    exit 1
  fi
fi

# Relative to the working folder, so that a program under wine reads the same file.
folder=$(mktemp -d ./transport-server.XXXXXX)
"$server" "$folder/ports.json" --lifetime 1500 >"$folder/server.log" 2>&1 &
server_pid=$!
cleanup() {
  kill "$server_pid" 2>/dev/null
  wait "$server_pid" 2>/dev/null
  rm -rf "$folder"
}
trap cleanup EXIT

for _ in $(seq 1 200); do
  [ -f "$folder/ports.json" ] && break
  if ! kill -0 "$server_pid" 2>/dev/null; then
    echo "run_contract: server exited early:" >&2
    cat "$folder/server.log" >&2
    exit 1
  fi
  sleep 0.05
done
if [ ! -f "$folder/ports.json" ]; then
  echo "run_contract: server wrote no ports file" >&2
  exit 1
fi

PARLOW_TRANSPORT_SERVER_JSON="$folder/ports.json" "$@"
status=$?
exit $status
