-- A tour of libkvc through kvcsql, against kvcd (SQLite underneath).
-- Run it with:  scripts/demo.sh   or   kvcsql --echo -f examples/demo.sql

-- Tables with every kind of column the server describes.
CREATE TABLE fruit (id INTEGER PRIMARY KEY, name VARCHAR(20) NOT NULL, price DOUBLE, stock SMALLINT);
CREATE TABLE every_type (
  b BOOLEAN, t TINYINT, s SMALLINT, i INTEGER, g BIGINT, n NUMERIC(10,2), r REAL, d DOUBLE,
  dt DATE, tm TIME, ts TIMESTAMP, tz TIMESTAMP WITH TIME ZONE, c VARCHAR(20), x VARBINARY(8));

-- A plain insert answers with the ids of the rows it made.
INSERT INTO fruit VALUES (1, 'apple', 0.5, 120), (2, 'pear', 0.75, 40);

-- A batch: one request, one row of values per line, up to "\.".
\batch INSERT INTO fruit (id, name, price, stock) VALUES (?, ?, ?, ?)
3 'plum' 1.25 300
4 'quince' 2.5 NULL
5 'fig' 3 18
\.

SELECT * FROM fruit ORDER BY id;

INSERT INTO every_type VALUES
  (1, 127, -32768, 2147483647, 9007199254740993, 12345.67, 1.5, 3.141592653589793,
   '2024-02-29', '13:45:30', '2024-02-29 13:45:30', '2024-02-29 13:45:30+02:00', 'text', X'00FF10'),
  (NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL);
SELECT * FROM every_type;

-- Counts of updates and deletes.
UPDATE fruit SET stock = stock + 10 WHERE price < 1;
DELETE FROM fruit WHERE name = 'fig';

-- Parameters for one statement: \bind, then the statement with ? marks.
\bind 1 'quince'
SELECT name, price FROM fruit WHERE price > ? AND name <> ? ORDER BY price;

-- A prepared statement: prepared once under a generated name, executed twice.
\prepare SELECT id, name FROM fruit WHERE stock >= ? ORDER BY id
\execute STC0 100
\execute STC0 0
\deallocate STC0

-- A server cursor: declared and opened, fetched in two steps, closed.
\declare fruit_cursor SELECT id, name FROM fruit ORDER BY id
\fetch fruit_cursor 2
\fetch fruit_cursor
\close fruit_cursor

-- A large object: a character LOB sent as a parameter, then read back.
CREATE TABLE notes (id INTEGER, body CLOB);
\bind 1 clob:'A character large object travels in 1 MiB chunks; this one is short.'
INSERT INTO notes VALUES (?, ?);
SELECT id, length(body) AS chars, body FROM notes;

-- Procedures with output parameters, and a function's return value.
\bind 2 40 out
\call CALL kvc_add(?, ?, ?)
\bind 'lib' 'kvc' out out
\call CALL kvc_concat(?, ?, ?, ?)
\bind 1.5 inout:4
\call CALL kvc_scale(?, ?)
\bind 21 ret
\call CALL kvc_double(?)

-- A procedure that also returns rows.
\bind 4 out
\call CALL kvc_series(?, ?)

-- Functions of the server inside SQL.
SELECT kvc_version() AS server, kvc_hypot(3, 4) AS hypot, kvc_add_days('2024-02-28', 2) AS later;
