#!/usr/bin/env bash
# run_with_sims.sh <sim-client> <sim-aggregator> <native-build-dir|-> -- <suite command...>
# Starts the game client simulator (paused in the lobby, the in-game API on a free port) and the
# local aggregator (HTTPS under its own root, one invite), runs the suite with PARLOW_SIMS_DIR
# naming their folder, and stops both. The simulators are always native programs; a Windows
# suite runs under wine beside them.
set -uo pipefail
client=$1
aggregator=$2
native_dir=$3
shift 4

for program in "$client" "$aggregator"; do
  if [ ! -x "$program" ]; then
    if [ "$native_dir" != "-" ] && [ -f "$native_dir/CMakeCache.txt" ]; then
      cmake --build "$native_dir" --target parlow-sim-client parlow-sim-aggregator >&2 || exit 1
    else
      echo "run_with_sims: no simulator at $program; run 'bash scripts/build native' first" >&2
      exit 1
    fi
  fi
done

# Relative to the working folder, so that a program under wine reads the same files.
folder=$(mktemp -d ./collector-e2e.XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null; done
  if [ -n "${PARLOW_E2E_KEEP:-}" ]; then
    echo "run_with_sims: kept $folder" >&2
  else
    rm -rf "$folder"
  fi
}
trap cleanup EXIT

"$aggregator" --state-file "$folder/aggregator.json" --record "$folder/aggregator.jsonl" \
  --tls --root-cert-out "$folder/server-root.pem" --invite E2E-INVITE >"$folder/aggregator.log" 2>&1 &
pids+=($!)
"$client" --install-dir "$folder/league" --root-cert-out "$folder/riot-root.pem" \
  --state-file "$folder/client.json" --live-port 0 --paused >"$folder/client.log" 2>&1 &
pids+=($!)

for _ in $(seq 1 300); do
  [ -s "$folder/aggregator.json" ] && [ -s "$folder/client.json" ] && break
  for pid in "${pids[@]}"; do
    if ! kill -0 "$pid" 2>/dev/null; then
      echo "run_with_sims: a simulator exited early:" >&2
      cat "$folder"/*.log >&2
      exit 1
    fi
  done
  sleep 0.05
done
if [ ! -s "$folder/aggregator.json" ] || [ ! -s "$folder/client.json" ]; then
  echo "run_with_sims: the simulators wrote no state files" >&2
  exit 1
fi

PARLOW_SIMS_DIR="$folder" "$@"
status=$?
if [ $status -ne 0 ]; then
  echo "run_with_sims: simulator logs:" >&2
  tail -n 40 "$folder"/*.log >&2
fi
exit $status
