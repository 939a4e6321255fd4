#!/usr/bin/env python3
"""Fetching 1,000,000 rows of five columns with kvc's fetchall, side by side with
the standard library's sqlite3 reading the same rows from the same file.

    KVC_LIBRARY=build/libkvc.so PYTHONPATH=python:build/python \\
        /usr/bin/python3 bench/python_fetch_bench.py --kvcd build/server/kvcd [--rows N]

Prints the seconds of each reader and `ratio python_fetch_vs_sqlite3` (kvc's
time over sqlite3's with a plain cursor; at most 1 is the goal), the same
through a named cursor (whose blocks are fetched while the previous one is
converted), and the plain cursor without the C accelerator.
"""

import argparse
import os
import sqlite3
import subprocess
import sys
import tempfile
import time

QUERY = "SELECT id, amount, name, qty, note FROM items"


def make_database(path, rows):
    db = sqlite3.connect(path)
    db.execute("CREATE TABLE items(id BIGINT, amount DOUBLE, name VARCHAR(40), qty INT, note VARCHAR(40))")
    db.execute("""WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < ?)
                  INSERT INTO items SELECT i, i * 0.25, 'name-' || i, i % 1000, 'note ' || (i % 97) FROM n""",
               (rows,))
    db.commit()
    db.close()


def best_of(repeats, fn):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        count = fn()
        times.append(time.perf_counter() - start)
    return min(times), count


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--kvcd", required=True)
    parser.add_argument("--rows", type=int, default=1000000)
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()

    import kvc
    from kvc import _result

    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "bench.db")
        make_database(path, args.rows)
        server = subprocess.Popen([args.kvcd, "--db", path, "--port", "0", "--print-port", "--exit-with-parent"],
                                  stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        try:
            port = int(server.stdout.readline())
            conn = kvc.connect(host="127.0.0.1", port=port, database="bench", user="bench", password="bench",
                               autocommit=True)

            def read_sqlite3():
                db = sqlite3.connect(path)
                count = len(db.execute(QUERY).fetchall())
                db.close()
                return count

            def read_kvc(name=None):
                cur = conn.cursor(name=name)
                if name:
                    cur.arraysize = 50000
                cur.execute(QUERY)
                count = len(cur.fetchall())
                cur.close()
                return count

            sqlite_time, sqlite_rows = best_of(args.repeats, read_sqlite3)
            print("sqlite3 fetchall: %d rows in %.3f s" % (sqlite_rows, sqlite_time))
            accelerator = _result.speedups
            figures = []
            if accelerator is not None:
                kvc_time, kvc_rows = best_of(args.repeats, read_kvc)
                print("kvc fetchall (accelerator): %d rows in %.3f s" % (kvc_rows, kvc_time))
                figures.append(("python_fetch_vs_sqlite3", kvc_time))
                named_time, named_rows = best_of(args.repeats, lambda: read_kvc("bench"))
                print("kvc fetchall, named cursor of 50,000-row blocks (accelerator): %d rows in %.3f s"
                      % (named_rows, named_time))
                figures.append(("python_fetch_vs_sqlite3_named_cursor", named_time))
            else:
                print("kvc: the C accelerator is not built; only the pure Python figure follows")
            _result.speedups = None
            plain_time, plain_rows = best_of(1, read_kvc)
            _result.speedups = accelerator
            print("kvc fetchall (pure Python): %d rows in %.3f s" % (plain_rows, plain_time))
            figures.append(("python_fetch_vs_sqlite3_without_accelerator", plain_time))
            for name, seconds in figures:
                print("ratio %s %.2f" % (name, seconds / sqlite_time))
            conn.close()
        finally:
            server.terminate()
            server.wait()
    return 0


if __name__ == "__main__":
    sys.exit(main())
