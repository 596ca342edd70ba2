# Drives the Python dbf library for the interchange tests: "dump" prints what the library
# reads from a table in a line format the C++ side parses, "make" writes a table of one of
# the library's flavours with fixed content. Always run with the interpreter the Debian
# package installs into; the code page is given explicitly so accents decode as code page 437.
#
#   dbf_peer.py dump TABLE        -> F name type length decimals / R 0|1 / V name<TAB>value
#   dbf_peer.py make FLAVOUR TABLE
import datetime
import decimal
import sys

import dbf

CODEPAGE = 'cp437'


def escape(text):
    return text.replace('\\', '\\\\').replace('\n', '\\n').replace('\r', '\\r').replace('\t', '\\t')


def canonical(value, kind, decimals):
    """One text form per value, the one the C++ side builds from our engine's reading."""
    if value is None:
        return ''
    if kind in 'CM':
        return str(value).rstrip(' ')
    if kind in 'NF':
        return '%.*f' % (decimals, value)
    if kind == 'I':
        return '%d' % value
    if kind == 'Y':
        return '%.4f' % decimal.Decimal(value)
    if kind == 'B':
        return '%.15g' % value
    if kind == 'D':
        return value.strftime('%Y%m%d') if value else ''
    if kind == 'T':
        return value.strftime('%Y%m%d %H:%M:%S') if value else ''
    if kind == 'L':
        return {True: 'T', False: 'F'}.get(value, '?')
    return repr(value)


def dump(path):
    table = dbf.Table(path, codepage=CODEPAGE)
    table.open(dbf.READ_ONLY)
    try:
        kinds = {}
        for name in table.field_names:
            info = table.field_info(name)
            kind = chr(info[0])
            kinds[name] = (kind, info[2])
            print('F %s %s %d %d' % (name.upper(), kind, info[1], info[2]))
        for record in table:
            print('R %d' % (1 if dbf.is_deleted(record) else 0))
            for name in table.field_names:
                kind, decimals = kinds[name]
                print('V %s\t%s' % (name.upper(), escape(canonical(record[name], kind, decimals))))
    finally:
        table.close()


ACCENTS = 'Café Müller Ñandú'   # every letter here is in code page 437


def make(flavour, path):
    memo = 'notes M'
    specs = {
        'db3': 'name C(20); amt N(9,2); qty N(5,0); born D; ok L; ' + memo,
        'clp': 'name C(20); amt N(9,2); qty N(5,0); born D; ok L; ' + memo,
        'fp': 'name C(20); amt N(9,2); qty N(5,0); ratio F(12,4); born D; ok L; ' + memo,
        'vfp': 'name C(20); amt N(9,2); cnt I; stamp T; cash Y; dbl B; born D; ok L; ' + memo,
    }
    table = dbf.Table(path, specs[flavour], dbf_type=flavour, codepage=CODEPAGE)
    table.open(dbf.READ_WRITE)
    try:
        rows = [
            dict(name=ACCENTS, amt=1234.5, qty=42, born=datetime.date(1999, 12, 31), ok=True,
                 notes='first memo\nwith two lines'),
            dict(name='plain', amt=-0.25, qty=0, born=datetime.date(2024, 2, 29), ok=False,
                 notes=''),
            dict(name='gone', amt=7, qty=-3, born=None, ok=None, notes='deleted one'),
        ]
        # The library refuses 2147483647 for I although its own message names it as the upper
        # bound ("Possible: ..+2,147,483,647. Attempted: 2147483647"); one below is the most
        # it writes.
        extras = [
            dict(ratio=3.1416, cnt=2147483646, stamp=datetime.datetime(2020, 1, 2, 3, 4, 5),
                 cash=decimal.Decimal('12345.6789'), dbl=0.1),
            dict(ratio=-0.5, cnt=-7, stamp=datetime.datetime(1900, 3, 1, 23, 59, 59),
                 cash=decimal.Decimal('-0.01'), dbl=-1.5e300),
            dict(ratio=0, cnt=0, stamp=None, cash=decimal.Decimal('0'), dbl=0.0),
        ]
        for row, extra in zip(rows, extras):
            row.update(extra)
            table.append({k: v for k, v in row.items() if k in table.field_names})
        dbf.delete(table[2])
    finally:
        table.close()


if __name__ == '__main__':
    command = sys.argv[1]
    if command == 'dump':
        dump(sys.argv[2])
    elif command == 'make':
        make(sys.argv[2], sys.argv[3])
    else:
        sys.exit('unknown command ' + command)
