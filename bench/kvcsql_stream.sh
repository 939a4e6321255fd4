#!/usr/bin/env bash
# How kvcsql streams a large result: time to the first printed row, total
# time and peak memory of kvcsql for SELECT * over tables of ROWS rows, against
# a kvcd started here. Prints "NAME VALUE UNIT" lines.
# Usage: bench/kvcsql_stream.sh KVCSQL KVCD [ROWS...]   (default 200000 2000000)
# Peak memory needs GNU time (/usr/bin/time, Debian package "time").
set -euo pipefail
kvcsql="$1"
kvcd="$2"
shift 2
sizes=("$@")
[ ${#sizes[@]} -gt 0 ] || sizes=(200000 2000000)

. "$(dirname "$0")/../tests/tools/kvcd_scratch.sh"
scratch_begin kvcsql-bench
start_kvcd "$kvcd" bench
conn="IP=127.0.0.1;PORT=$port;DB=bench;USER=bench;PWD=bench"

now_ms() { echo $(( $(date +%s%N) / 1000000 )); }

for rows in "${sizes[@]}"; do
  table="t$rows"
  "$kvcsql" -q "$conn" -c "CREATE TABLE $table (id INTEGER, name VARCHAR(24), price DOUBLE);
    INSERT INTO $table WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < $rows)
    SELECT i, 'item number ' || i, i * 0.25 FROM n;" >/dev/null

  timer=()
  [ -x /usr/bin/time ] && timer=(/usr/bin/time -f %M -o "$work/peak_kb")
  start=$(now_ms)
  # The aligned form: a header, a rule, then the first row on the third line.
  "${timer[@]}" "$kvcsql" "$conn" -c "SELECT id, name, price FROM $table" |
    { head -n 3 >/dev/null; now_ms >"$work/first"; cat >/dev/null; }
  end=$(now_ms)

  echo "kvcsql_stream_${rows}_first_row $(( $(cat "$work/first") - start )) ms"
  echo "kvcsql_stream_${rows}_total $(( end - start )) ms"
  if [ -s "$work/peak_kb" ]; then
    echo "kvcsql_stream_${rows}_peak_memory $(( $(tail -n1 "$work/peak_kb") / 1024 )) MB"
  fi
done
