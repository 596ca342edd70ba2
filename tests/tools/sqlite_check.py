#!/usr/bin/env python3
"""Reads a table of an SQLite database that `norvane export --sqlite` wrote and compares
every value with the CSV export of the same table (the tool's text of each value).

    sqlite_check.py DATABASE TABLE EXPORT.csv

Prints "ok ROWS" and exits 0, or prints each difference and exits 1. Blank CSV values must
be NULL; logicals 1/0 must be T/F; numbers must be equal as numbers; text as text.
"""
import csv
import sqlite3
import sys


def main():
    db, table, csv_path = sys.argv[1:4]
    con = sqlite3.connect(db)
    cur = con.execute('SELECT * FROM "%s" ORDER BY recno' % table.replace('"', '""'))
    names = [d[0] for d in cur.description]
    declared = {row[1]: row[2] for row in con.execute('PRAGMA table_info("%s")' % table.replace('"', '""'))}
    rows = cur.fetchall()
    with open(csv_path, newline="", encoding="utf-8") as f:
        lines = list(csv.reader(f))
    header, lines = lines[0], lines[1:]
    problems = []
    if [n for n in names if n not in ("recno", "deleted")] != header:
        problems.append("columns %r, CSV header %r" % (names, header))
    if len(rows) != len(lines):
        problems.append("%d rows, CSV %d" % (len(rows), len(lines)))
    for r, (row, line) in enumerate(zip(rows, lines), start=1):
        values = dict(zip(names, row))
        for name, text in zip(header, line):
            v = values.get(name)
            kind = declared.get(name)
            ok = True
            if text == "" or v is None:
                ok = text == "" and v is None
            elif isinstance(v, bytes):
                ok = len(v) > 0
            elif kind == "INTEGER" and text in ("T", "F"):
                ok = v == (1 if text == "T" else 0)
            elif isinstance(v, int):
                # NUMERIC keeps a whole number as an integer.
                ok = (kind == "INTEGER" and int(text) == v) or (kind == "NUMERIC" and float(text) == v)
            elif isinstance(v, float):
                ok = kind in ("REAL", "NUMERIC") and abs(float(text) - v) <= 1e-9 * max(1.0, abs(v))
            else:
                ok = kind == "TEXT" and v == text
            if not ok:
                problems.append("row %d %s: %r (%s), CSV %r" % (r, name, v, kind, text))
    for p in problems[:20]:
        print(p)
    if problems:
        return 1
    print("ok %d" % len(rows))
    return 0


if __name__ == "__main__":
    sys.exit(main())
