#!/usr/bin/env bash
# kvcsql end to end against a kvcd started here: tables, CSV, errors with
# their exit status, scripts and standard input, the embedded server, and one
# interactive session on a pseudo-terminal.
# Usage: kvcsql_shell_test.sh KVCSQL KVCD PTY_DRIVER   (exit 77: kvcd not built)
set -u
kvcsql="$1"
kvcd="${2:-}"
pty_driver="$3"
if [ -z "$kvcd" ] || [ ! -x "$kvcd" ]; then
  echo "kvcd is not built: kvcsql shell tests skipped"
  exit 77
fi

. "$(dirname "$0")/kvcd_scratch.sh"
scratch_begin kvcsql-test
start_kvcd "$kvcd" test
conn="IP=127.0.0.1;PORT=$port;DB=test;USER=test;PWD=test"

passed=0
failed=0
# check NAME EXPECTED_STATUS EXPECTED_STDOUT STDERR_PATTERN -- kvcsql arguments...
# STDERR_PATTERN is a grep -E pattern that standard error must match ("" = must be empty).
check() {
  local name="$1" want_status="$2" want_out="$3" err_pattern="$4"
  shift 5
  local out err status
  "$kvcsql" "$@" >"$work/out" 2>"$work/err" </dev/null
  status=$?
  # Times vary from run to run: their number is masked.
  out=$(sed -E 's/^Time: [0-9.]+ ms$/Time: X ms/' "$work/out")
  err=$(cat "$work/err")
  local ok=1
  [ "$status" = "$want_status" ] || ok=0
  [ "$out" = "$want_out" ] || ok=0
  if [ -z "$err_pattern" ]; then
    [ -z "$err" ] || ok=0
  else
    grep -Eq "$err_pattern" "$work/err" || ok=0
  fi
  if [ "$ok" = 1 ]; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "FAILED: $name (status $status, wanted $want_status)"
    echo "--- stdout:"; printf '%s\n' "$out"
    echo "--- wanted:"; printf '%s\n' "$want_out"
    echo "--- stderr:"; printf '%s\n' "$err"
    [ -n "$err_pattern" ] && echo "--- stderr should match: $err_pattern"
  fi
}

check "create and fill" 0 "OK
(2 rows inserted, last insert id 2)" "" -- "$conn" -c \
  "CREATE TABLE t (id INTEGER, name VARCHAR(10), price DOUBLE); INSERT INTO t VALUES (1, 'apple', 0.5), (2, NULL, 12.25);"

check "aligned table" 0 " id | name  | price
----+-------+-------
  1 | apple |   0.5
  2 | NULL  | 12.25
(2 rows)" "" -- "$conn" -c "SELECT id, name, price FROM t ORDER BY id"

check "csv" 0 'id,name,price
1,apple,0.5
2,,12.25
3,"a, ""b""",' "" -- --csv "$conn" -c \
  "INSERT INTO t VALUES (3, 'a, \"b\"', NULL); SELECT id, name, price FROM t ORDER BY id;" -q

check "counts" 0 "(2 rows affected)
(1 row deleted)" "" -- "$conn" -c "UPDATE t SET price = price * 2 WHERE id < 3; DELETE FROM t WHERE id = 3;"

check "error status and text" 1 "" "^ERROR EC0100: .*no such table: missing" -- "$conn" -c "SELECT * FROM missing"

check "script goes on after an error" 1 " n
---
 7
(1 row)" "no such table" -- "$conn" -c "SELECT * FROM missing; SELECT 7 AS n;"

check "stop on error" 1 "" "no such table" -- -b "$conn" -c "SELECT * FROM missing; SELECT 7 AS n;"

printf 'SELECT count(*) AS rows_in_t\n  FROM t;\n' >"$work/script.sql"
check "script file" 0 " rows_in_t
-----------
         2
(1 row)" "" -- "$conn" -f "$work/script.sql"

printf '\\bind 2 apple\nSELECT name FROM t WHERE id < ? AND name = ?;\n' | "$kvcsql" --csv "$conn" >"$work/stdin_out" 2>&1
if [ "$(cat "$work/stdin_out")" = "name
apple" ]; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "FAILED: standard input with \\bind"; cat "$work/stdin_out"; fi

check "bad connection" 2 "" "^kvcsql: cannot connect EC011" -- "IP=127.0.0.1;PORT=1;DB=x;USER=u;PWD=p" -c "SELECT 1"

check "timing" 0 " one
-----
   1
(1 row)
Time: X ms" "" -- "$conn" --timing -c "SELECT 1 AS one"

# Meta-commands: a prepared statement with parameters, executed, then released.
check "prepare and execute" 0 "prepared STC0 (returns rows)
 name
-------
 apple
(1 row)
deallocated STC0" "" -- "$conn" -c '\prepare SELECT name FROM t WHERE id = ?
\execute STC0 1
\deallocate STC0'

check "execute an unknown statement: the server's text alone" 1 "" "^ERROR EC0100: prepared statement STC9 does not exist \(status -1\)$" -- "$conn" -c '\execute STC9'

cat >"$work/batch.sql" <<'SQL'
CREATE TABLE b (id INTEGER, label VARCHAR(10), v DOUBLE);
\batch INSERT INTO b VALUES (?, ?, ?)
1 one 1
2 'two, too' 2.5
3 NULL 3
\.
SELECT id, label, v FROM b ORDER BY id;
SQL
check "batch" 0 "id,label,v
1,one,1
2,\"two, too\",2.5
3,,3" "" -- "$conn" -q --csv -f "$work/batch.sql"

check "a batch with one bad row is refused whole" 1 " n
---
 0
(1 row)" "batch refused, nothing was sent: row 2: every row needs 2 values" -- "$conn" -c '\batch INSERT INTO b (id, label) VALUES (?, ?)
4 four
5
\.
SELECT count(*) AS n FROM b WHERE id >= 4;'

check "procedure outputs" 0 " parameter | value
-----------+-------
 \$3        | 42
 parameter | value
-----------+-------
 return    | 84
 parameter | value
-----------+-------
 \$2        | 7.5" "" -- "$conn" -q -c '\bind 40 2 out
\call CALL kvc_add(?, ?, ?)
\bind 42 ret
\call CALL kvc_double(?)
\bind 2.5 inout:3
\call CALL kvc_scale(?, ?)'

check "procedure error" 1 "" "^ERROR EC0100: kvc_add: a and b must be integers" -- "$conn" -c "\\bind 'x' 2 out
\\call CALL kvc_add(?, ?, ?)"

check "server cursor" 1 "cursor c1 open (1 column)
 id
----
  1
(1 row)
 id
----
  2
(1 row)
cursor c1 closed" "^ERROR EC027: " -- "$conn" -c '\declare c1 SELECT id FROM t ORDER BY id
\fetch c1 1
\fetch c1
\close c1
\close c1'

printf 'line one\nline "two", with a comma\n' >"$work/note.txt"
printf '\001\002\377' >"$work/bytes.bin"
check "large objects from files" 0 'body,bytes
"line one
line ""two"", with a comma
",\x0102ff' "" -- "$conn" --csv -q -c "CREATE TABLE lobs (body CLOB, bytes BLOB);
\\bind clob:@$work/note.txt blob:@$work/bytes.bin
INSERT INTO lobs VALUES (?, ?);
SELECT body, bytes FROM lobs;"

check "meta-command mistakes" 1 "" "unknown meta-command \\\\nope.*
.*unterminated quoted text" -- "$conn" -c "\\nope
\\bind 'open"

# A value the server cannot send, met after it has sent rows of the same
# block, fails the streamed statement: the rows before it are not a result.
"$kvcsql" -q "$conn" -c "CREATE TABLE wide(pad TEXT, n SMALLINT);
WITH RECURSIVE k(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM k WHERE i < 400)
INSERT INTO wide SELECT printf('%01000d', i), CASE WHEN i = 400 THEN 70000 ELSE i END FROM k" >/dev/null 2>&1
"$kvcsql" "$conn" -A -t -c "SELECT n, pad FROM wide ORDER BY rowid" >"$work/out" 2>"$work/err"
if [ $? = 1 ] && grep -q "does not fit" "$work/err"; then passed=$((passed + 1)); else
  failed=$((failed + 1)); echo "FAILED: an error after streamed rows"; cat "$work/err"; fi

# The encrypted login, with a statement and a reply long enough to cross
# several keystream blocks in each direction.
long=$(printf 'k%.0s' $(seq 1 5000))
check "encrypted connection" 0 "n,s
5000,$long" "" -- --ssl --csv "$conn" -c "SELECT length('$long') AS n, '$long' AS s"

# The embedded server: no connection string, a kvcd started and stopped by kvcsql.
mkdir -p "$work/tmp"
TMPDIR="$work/tmp" KVCD="$kvcd" check "embedded kvcd" 0 " answer
--------
     42
(1 row)" "" -- -c "SELECT 40 + 2 AS answer"
if [ -z "$(ls -A "$work/tmp")" ]; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "FAILED: the embedded server left files behind:"; ls -lR "$work/tmp"; fi

# Output formats. CSV and JSON carry data only: status and timing go to stderr.
check "unaligned, separator, null text" 0 "a;b
1;-
(1 row)" "" -- "$conn" -A -F ';' --null - -c "SELECT 1 AS a, NULL AS b"
check "expanded, tuples only" 0 "a  | 1
bb | x

a  | 2
bb | y" "" -- "$conn" -x -t -c "SELECT 1 AS a, 'x' AS bb UNION ALL SELECT 2, 'y'"
check "expanded with record labels" 0 "Expanded display is on.
-[ RECORD 1 ]
a  | 1
bb | x" "" -- "$conn" -c "\\x
SELECT 1 AS a, 'x' AS bb" -q
check "json lines" 0 '{"n":1,"s":"a \"q\"","z":null,"d":4.5e-05,"t":"1"}' "^Time: " -- "$conn" --json --timing -c \
  "SELECT 1 AS n, 'a \"q\"' AS s, NULL AS z, 4.5e-05 AS d, '1' AS t"
check "csv: status and timing on stderr" 0 "n
1" "^OK$" -- "$conn" --csv --timing -c "CREATE TABLE fmt (x INTEGER); SELECT 1 AS n"
check "wide characters take two cells" 0 "  w   | n
------+---
 中文 | 1
 ab   | 2
(2 rows)" "" -- "$conn" -c "SELECT '中文' AS w, 1 AS n UNION ALL SELECT 'ab', 2"

# Query rows stream through a cursor in blocks: no row lost or doubled at the
# block edges, the footer counts them all, an empty result keeps its header.
for rows in 0 100 101 10100 10101; do
  "$kvcsql" "$conn" -c "SELECT i FROM (WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < $rows)
    SELECT i FROM n) WHERE i <= $rows" >"$work/stream" 2>&1
  got=$(sed -n '3,$p' "$work/stream" | grep -cv rows)
  sum=$(sed -n '3,$p' "$work/stream" | grep -v rows | awk '{s += $1} END {print s + 0}')
  footer=$(tail -n1 "$work/stream")
  if [ "$got" = "$rows" ] && [ "$sum" = $((rows * (rows + 1) / 2)) ] && [ "$footer" = "($rows rows)" ] &&
     [ "$(head -n1 "$work/stream" | tr -d " ")" = i ]; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1)); echo "FAILED: streaming $rows rows (got $got, sum $sum, footer $footer)"; head "$work/stream"
  fi
done

# Scripts name the file and line of a failure, \i included; \o writes a file;
# variables come from -v and \set.
printf 'SELECT 1 AS one;\n\nSELECT\n  nope FROM missing;\n\\prepare SELECT ?, ?\n\\execute STC0 1\n\\execute STC0 1 2 3\n' >"$work/load.sql"
printf '\\o %s\nSELECT :v AS v, :'"'"'w'"'"' AS w;\n\\o\n\\i %s\n' "$work/result.txt" "$work/load.sql" >"$work/main.sql"
check "errors name file and line" 1 " one
-----
   1
(1 row)
prepared STC0 (returns rows)" "^kvcsql:$work/load.sql:3: ERROR EC0100: no such table: missing .*
kvcsql:$work/load.sql:6: ERROR: \\\\execute STC0: the statement takes 2 parameters, 1 value was given
kvcsql:$work/load.sql:7: ERROR: \\\\execute STC0: the statement takes 2 parameters, 3 values were given" \
  -- "$conn" -v v=7 -c "\\set w 'it''s'" -f "$work/main.sql"
if [ "$(cat "$work/result.txt")" = " v |  w
---+------
 7 | it's
(1 row)" ]; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "FAILED: \\o and variables"; cat "$work/result.txt"; fi
if [ "$(grep -c ERROR "$work/err")" = 3 ]; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "FAILED: error count"; cat "$work/err"; fi

# Large objects read with LOB_RET=on show their content.
check "large objects as descriptors" 0 "body,bytes
hello,\\x0102ff" "" -- "$conn;LOB_RET=on" --csv -q -c "CREATE TABLE lobs2 (body CLOB, bytes BLOB);
\\bind clob:'hello' blob:@$work/bytes.bin
INSERT INTO lobs2 VALUES (?, ?);
SELECT body, bytes FROM lobs2;"

# A second server, with a password and killed halfway through a script read
# from standard input: the script stops with status 2, the rest is not run.
first_port=$port
start_kvcd "$kvcd" second --user u --password secret
kvcd2_pid=${kvcd_pids[-1]}
conn2="IP=127.0.0.1;PORT=$port;DB=test;USER=u"
port=$first_port
KVCPASSWORD=secret check "password from KVCPASSWORD" 0 "1" "" -- "$conn2" -A -t -c "SELECT 1"
mkfifo "$work/fifo"
KVCPASSWORD=secret "$kvcsql" "$conn2" -A -t <"$work/fifo" >"$work/lost_out" 2>"$work/lost_err" &
lost_pid=$!
exec 3>"$work/fifo"
echo "SELECT 'first';" >&3
for _ in $(seq 1 100); do grep -q first "$work/lost_out" && break; sleep 0.1; done
kill "$kvcd2_pid"; wait "$kvcd2_pid" 2>/dev/null
# kvcsql may be gone before the last line is written: that is the point.
( trap '' PIPE; printf "SELECT 'second';\nSELECT 'third';\n" >&3 ) 2>/dev/null
exec 3>&-
wait "$lost_pid"
lost_status=$?
if [ "$lost_status" = 2 ] && ! grep -q third "$work/lost_out" && grep -q "^kvcsql:<stdin>:2: ERROR: the connection to the server broke" "$work/lost_err" &&
   [ "$(grep -c ERROR "$work/lost_err")" = 1 ]; then
  passed=$((passed + 1))
else
  failed=$((failed + 1)); echo "FAILED: lost connection stops the script (status $lost_status)"; cat "$work/lost_out" "$work/lost_err"
fi

# One interactive session on a pseudo-terminal: a statement, then \q.
if "$pty_driver" --expect "kvcsql=> " --send "SELECT 6 * 7 AS product;" --expect "product" \
     --expect "42" --expect "(1 row)" --expect "kvcsql=> " --send "\\q" -- \
     env HOME="$work" "$kvcsql" "$conn" >"$work/pty" 2>&1; then
  passed=$((passed + 1))
else
  failed=$((failed + 1)); echo "FAILED: interactive session"; cat "$work/pty"
fi

# history: the statement of the session above was kept.
if grep -q "product" "$work/.kvcsql_history" 2>/dev/null; then passed=$((passed + 1)); else
  failed=$((failed + 1)); echo "FAILED: history file"; cat "$work/.kvcsql_history"; fi

# Tab completes keywords and the catalogue's tables and columns.
"$kvcsql" "$conn" -q -c "CREATE TABLE widgets (wcolour VARCHAR(10))"
if "$pty_driver" --expect "kvcsql=> " --keys $'SEL\t' --expect "ECT " --keys $'wco\t' --expect "lour " \
     --keys $'FROM widg\t' --expect "ets " --send ";" --expect "(0 rows)" --expect "kvcsql=> " --send "\\q" -- \
     env HOME="$work" "$kvcsql" "$conn" >"$work/pty" 2>&1; then
  passed=$((passed + 1))
else
  failed=$((failed + 1)); echo "FAILED: completion"; cat "$work/pty"
fi

# Ctrl-C cancels a long statement; the next one reconnects and says so. The
# password is asked for without echo when the string has none. The statement
# waits for a lock that another session holds, so that it takes no CPU.
mkfifo "$work/hold"
"$kvcsql" "$conn" -q <"$work/hold" >"$work/hold_out" 2>&1 &
hold_pid=$!
exec 4>"$work/hold"
echo "CREATE TABLE lockt (x INTEGER); BEGIN; INSERT INTO lockt VALUES (1); SELECT 'held' AS h;" >&4
for _ in $(seq 1 100); do grep -q held "$work/hold_out" && break; sleep 0.1; done
slow="INSERT INTO lockt VALUES (2);"
if "$pty_driver" --expect "Password: " --send "test" --expect "kvcsql=> " --send "$slow" \
     --expect "waiting for the server" --keys $'\x03' --expect "cancelled: the statement may or may not have completed" \
     --expect "kvcsql=> " --send "SELECT 5 AS five;" --expect "reconnected to the server" --expect "five" \
     --expect "kvcsql=> " --send "\\q" -- env HOME="$work" "$kvcsql" "IP=127.0.0.1;PORT=$port;DB=test;USER=test" \
     >"$work/pty" 2>&1 && ! grep -q "Password: test" "$work/pty"; then
  passed=$((passed + 1))
else
  failed=$((failed + 1)); echo "FAILED: Ctrl-C and reconnect"; cat "$work/pty"
fi
exec 4>&-
wait "$hold_pid"

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
