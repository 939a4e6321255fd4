# Sourced by kvcsql's tests and benchmark: a scratch folder and kvcd servers
# on OS-picked loopback ports, all removed when the sourcing script exits.
#   scratch_begin PREFIX          makes $work
#   start_kvcd KVCD NAME [ARG...] starts kvcd on $work/NAME.db; sets $port
kvcd_pids=()
scratch_end() {
  local pid
  for pid in "${kvcd_pids[@]}"; do kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; done
  rm -rf "$work"
}
scratch_begin() {
  work=$(mktemp -d "/tmp/$1.XXXXXX")
  trap scratch_end EXIT
}
start_kvcd() {
  local kvcd="$1" name="$2"
  shift 2
  "$kvcd" --listen 127.0.0.1 --port 0 --db "$work/$name.db" --print-port --exit-with-parent "$@" \
    >"$work/$name.port" 2>"$work/$name.log" &
  kvcd_pids+=($!)
  for _ in $(seq 1 100); do
    [ -s "$work/$name.port" ] && break
    sleep 0.1
  done
  port=$(head -n1 "$work/$name.port")
  if [ -z "$port" ]; then
    echo "kvcd did not start:"; cat "$work/$name.log"
    exit 1
  fi
}
