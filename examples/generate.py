#!/usr/bin/env python3
"""Writes examples/zel.tabledef and examples/schema/postgresql.sql from one table list.

The table list below is the single place where the demo's tables are described: which
message kinds feed a table, which feed field goes to which column, with which type, and
which columns identify a row. The schema is written by zel-schema from the generated
table definitions through the PostgreSQL module; this script adds only what the tool
cannot know (the types of the calculated fields' raw-value columns). Build both first,
then run it after changing the list:

    cmake --build build --target zel-schema dbdrv_pgsql
    python3 examples/generate.py [--build DIR] [--check]

--check writes nothing and fails when a file differs from what would be written (a test
runs it). tests/unit/feedsim/examples_test.cpp checks the result as well.
"""
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))

# Column types: (type, len) as the table-definition file writes them.
PRICE = ("decimal", "18,4")
AMOUNT = ("decimal", "20,4")
RATIO = ("decimal", "18,6")
INT = ("int", None)
BIG = ("bigint", None)
DBL = ("double", None)
DATE = ("date", None)
TIME = ("time", None)
TEXT = ("mediumtext", None)
STAMP = ("datetime", None)


def VC(n):
    return ("varchar", str(n))


def CH(n):
    return ("char", str(n))


def f(tag, column, typ, key=False, **extra):
    return dict(tag=str(tag), column=column, type=typ, key=key, extra=extra)


DT = [f(3, "update_date", DATE), f(4, "update_time", TIME)]

PERIODS = [("1d", 148, 261), ("1w", 149, 262), ("2w", 334, 335), ("1m", 150, 263), ("3m", 151, 264),
           ("6m", 152, 265), ("9m", 153, 266), ("1y", 154, 267), ("2y", 155, 268), ("3y", 249, 269),
           ("4y", 777, 782), ("5y", 156, 270), ("6y", 778, 783), ("7y", 779, 784), ("8y", 780, 785),
           ("9y", 781, 786), ("10y", 157, 271), ("wtd", 158, 272), ("mtd", 159, 273), ("qtd", 160, 274),
           ("ytd", 161, 275), ("pytd", 162, 276), ("ld", 250, 277)]

performance = DT + [f(p, "ref_" + s, PRICE) for s, p, _ in PERIODS] + \
    [f(y, "refyield_" + s, RATIO) for s, _, y in PERIODS] + \
    [f(354, "ref_bid_1d", PRICE), f(355, "refyield_bid_1d", RATIO), f(356, "ref_bid_1w", PRICE),
     f(357, "refyield_bid_1w", RATIO), f(40, "ref_close_ex", PRICE)]

differences = DT[:]
for prefix in ("diff", "diffyield"):
    for s, _, _ in PERIODS:
        differences += [f(prefix + s, prefix + s, DBL), f(prefix + s + "prc", prefix + s + "prc", DBL)]
for name in ("diffbid1d", "diffbid1w", "diffbidyield1d", "diffbidyield1w", "diffex1d"):
    differences += [f(name, name, DBL), f(name + "prc", name + "prc", DBL)]

history = [f(3, "hist_date", DATE, True), f(4, "hist_time", TIME), f(39, "open_price", PRICE),
           f(40, "close_price", PRICE), f(41, "high_price", PRICE), f(42, "low_price", PRICE),
           f(43, "average_price", PRICE), f(45, "volume", BIG), f(47, "turnover", AMOUNT), f(80, "trades", INT)]

# (message kinds, table, insertfirst, fields, extra schema columns that only calculated
# fields name through column2)
MESSAGES = [
    ("1", "trades", True, [f(3, "trade_date", DATE, True), f(36, "trade_time", TIME), f(14, "trade_id", BIG, True),
                           f(12, "price", PRICE), f(13, "quantity", BIG), f(15, "flags", INT),
                           f(201, "price2", PRICE), f(72, "original_time", TIME)]),
    ("245", "minute_bars", False, [f(1, "open_price", DBL), f(2, "high_price", DBL), f(3, "low_price", DBL),
                                   f(4, "close_price", DBL), f(5, "open_price2", DBL), f(6, "high_price2", DBL),
                                   f(7, "low_price2", DBL), f(8, "close_price2", DBL), f(9, "volume", DBL),
                                   f(10, "turnover", DBL), f(11, "bar_time", STAMP, True)]),
    ("2", "quotes", False, [f(3, "quote_date", DATE), f(4, "quote_time", TIME), f(5, "bid", PRICE),
                            f(6, "ask", PRICE), f(7, "last", PRICE), f(9, "high", PRICE), f(10, "low", PRICE),
                            f(11, "open", PRICE), f(19, "bid_volume", BIG), f(20, "ask_volume", BIG),
                            f(21, "day_volume", BIG), f(22, "turnover", AMOUNT), f(74, "bid_yield", RATIO),
                            f(76, "yield", RATIO), f(93, "nav", PRICE), f(435, "last_trade_time", TIME),
                            f(436, "last_trade_date", DATE)]),
    ("8", "quotes", False, []),
    ("39", "quotes_bbo", False, [f(3, "quote_date", DATE), f(4, "quote_time", TIME), f(5, "bid", PRICE),
                                 f(6, "ask", PRICE), f(19, "bid_volume", BIG), f(20, "ask_volume", BIG)]),
    ("247", "quotes_bbo", False, []),
    ("40", "quotes_ex", False, [f(3, "quote_date", DATE), f(4, "quote_time", TIME), f(5, "bid", PRICE),
                                f(6, "ask", PRICE), f(7, "last", PRICE), f(19, "bid_volume", BIG),
                                f(20, "ask_volume", BIG)]),
    ("14,15,251", "orderbook", False, [f("side", "side", CH(1), True), f(5, "price", PRICE, True),
                                       f(6, "price", PRICE, True), f(17, "volume", BIG), f(18, "orders", INT),
                                       f(3, "book_date", DATE), f(4, "book_time", TIME)]),
    ("7", "orderbook", False, []),
    ("38", "orders", False, [f(695, "order_id", BIG, True), f(696, "side", CH(1)), f(697, "price", PRICE),
                             f(698, "quantity", BIG), f(3, "order_date", DATE), f(4, "order_time", TIME)]),
    ("6", "basicdata", False, [f(60, "name", VC(64)), f(61, "symbol", VC(24)), f(62, "isin", CH(12)),
                               f(63, "currency", CH(3)), f(64, "market", VC(8)), f(65, "lot_size", INT),
                               f(126, "status", INT), f(127, "state_text", VC(32)),
                               f(348, "instrument_type", INT), f(188, "sectors", VC(64)),
                               f(55, "linked", VC(255))] + DT),
    ("9", "basicdata", False, []),
    ("12", "instrument_links", False, [f(55, "linked_insref", BIG, True)]),
    ("23", "underlyings", False, [f(1, "underlying_insref", BIG, True), f(2, "weight", DBL)]),
    ("24", "trading_calendar", False, [f(1, "trading_date", DATE, True), f(2, "open_time", TIME),
                                       f(3, "close_time", TIME)]),
    ("25", "dividends", False, [f(1, "ex_date", DATE, True), f(2, "amount", PRICE), f(3, "currency", CH(3))]),
    ("250", "alt_identifiers", False, [f(1, "scheme", VC(16), True), f(2, "identifier", VC(32))]),
    ("246", "tick_sizes", False, [f(1, "from_price", PRICE, True), f(2, "tick_size", PRICE)]),
    ("13", "news", True, [f(48, "news_id", VC(32), True), f(3, "news_date", DATE), f(4, "news_time", TIME),
                          f(110, "headline", VC(255)), f(111, "source", VC(16)), f(112, "language", CH(2)),
                          f(2, "body", TEXT)]),
    ("255", "news_coding", False, [f(48, "news_id", VC(32), True), f(3, "news_date", DATE),
                                   f(167, "isin", CH(12), True), f(85, "company_id", INT, True)]),
    ("249", "news_tags", False, [f(48, "news_id", VC(32), True), f(3, "news_date", DATE),
                                 f(620, "tag", VC(32), True)]),
    ("11", "corporate_actions", False, [f(3, "ex_date", DATE, True), f(4, "action_time", TIME),
                                        f(97, "action_key", BIG, True), f(99, "action_type", INT),
                                        f(103, "factor", RATIO), f(104, "description", VC(64)),
                                        f(105, "amount", PRICE), f(789, "announced", STAMP)]),
    ("253", "corporate_actions", False, []),
    ("4", "pricehistory", True, history),
    ("252", "pricehistory_adjusted", True, history),
    ("16", "fundamentals", False, [f(720, "fiscal_year", INT, True), f(721, "period", VC(4), True),
                                   f(722, "revenue", BIG), f(723, "net_income", BIG), f(724, "total_assets", BIG),
                                   f(725, "equity", BIG), f(726, "employees", INT)] + DT),
    ("18", "performance", False, performance),
    ("254", "performance", False, differences),
    ("19", "keyratios", False, DT + [f(700, "pe", DBL, calc="2", column2="eps"),
                                     f(701, "pb", DBL, calc="2", column2="bvps"),
                                     f(702, "dividend_yield", DBL, calc="1", column2="dps", factor="100"),
                                     f(703, "sales_per_share", PRICE),
                                     f(704, "market_cap", DBL, calc="3", column2="shares_outstanding")]),
    ("20", "estimates", False, [f(740, "fiscal_year", INT, True), f(741, "eps_estimate", PRICE),
                                f(742, "revenue_estimate", BIG), f(743, "analysts", INT)] + DT),
    ("21", "recommendations", False, [f(750, "broker_id", INT, True), f(751, "recommendation", VC(16)),
                                      f(752, "target_price", PRICE)] + DT),
    ("22", "noii", False, DT + [f(630, "paired_shares", BIG), f(631, "imbalance_shares", BIG),
                                f(632, "imbalance_side", CH(1)), f(633, "reference_price", PRICE),
                                f(634, "near_price", PRICE), f(635, "far_price", PRICE)]),
    ("32", "l10n", False, [f(800, "language", CH(2), True), f(801, "local_name", VC(64))] + DT),
    ("26", "ci_company", False, [f(810, "company_id", INT), f(811, "company_name", VC(64)),
                                 f(812, "country", CH(2)), f(813, "sector", VC(32))]),
    ("27", "ci_officers", False, [f(820, "role", VC(32), True), f(821, "person", VC(64))]),
    ("33", "priip", False, [f(830, "kid_url", VC(255)), f(831, "risk_indicator", INT),
                            f(832, "holding_period", INT)]),
    ("34", "mifid", False, [f(840, "liquid", INT), f(841, "avg_daily_turnover", AMOUNT),
                            f(842, "standard_market_size", INT)]),
    ("35", "mifid_transparency", False, [f(850, "calc_date", DATE, True), f(851, "transactions", BIG)]),
    ("248", "mappings", False, [f(54, "scheme", INT, True), f(527, "mapped_insref", BIG, True)]),
    ("37", "greeks", False, DT + [f(610, "delta", RATIO), f(611, "gamma", RATIO), f(612, "vega", RATIO),
                                  f(613, "theta", RATIO), f(614, "rho", RATIO), f(615, "implied_volatility", RATIO)]),
]

# column2 columns of calculated fields: the raw value lands there.
CALC_BASES = {"keyratios": [("eps", PRICE), ("bvps", PRICE), ("dps", PRICE), ("shares_outstanding", BIG)]}


# The one type MariaDB spells differently: a date with a time of day. Every other type of
# the list is written the same way in both table-definition files.
MARIADB_TYPES = {"timestamp without time zone": "datetime"}


def mariadb_type(typ):
    t, n = typ
    if t in ("time",):
        return "time(6)"  # fractions of a second, as the feed sends them
    t = MARIADB_TYPES.get(t, t)
    return "%s(%s)" % (t, n) if n else t


# SQLite has no decimal numbers: a column declared decimal keeps a whole number as an
# integer, and the statements' divisions (percentages, ratios) would then divide integers.
# Its decimal columns are doubles, which is what SQLite stores fractions as anyway.
# Dates with a time of day keep the long spelling that the ODBC module's SQLite tests
# were written against.
SQLITE_TYPES = {"decimal": "double", "datetime": "timestamp without time zone"}


# zel writes through four connections at once. In the write-ahead log's mode readers do
# not block the writer, and a transaction that read before another committed is told at
# once that it must run again, instead of both waiting for each other's lock until the
# driver's timeout ends one of them. The mode is kept in the file.
SQLITE_PROLOGUE = ["PRAGMA journal_mode=WAL;", ""]


def sqlite_type(typ):
    # SQLite keeps any declared type; its ODBC driver reports the declaration as written,
    # so the table-definition types are declared as they are.
    t, n = typ
    if t in SQLITE_TYPES:
        return SQLITE_TYPES[t]
    return "%s(%s)" % (t, n) if n else t


def tabledef(types=None, schema_file="postgresql.sql"):
    types = types or {}
    out = ['<?xml version="1.0" encoding="UTF-8"?>',
           "<!-- Table definitions for the demo database (examples/schema/%s) and the" % schema_file,
           "     feed fields of docs/feed-fields.md. Generated by examples/generate.py: edit the list",
           "     there and run it again. -->",
           '<definitions version="1">']
    for kinds, table, first, fields in MESSAGES:
        head = '  <message mref="%s" table="%s"' % (kinds, table)
        head += ' insertfirst="y">' if first else ' insertfirst="n">'
        out.append(head)
        out.append('    <field tag="insref" column="insref" type="bigint" key="0" nullable="0"/>')
        for fd in fields:
            t, n = fd["type"]
            if t in types:
                t = types[t]
                n = None if t == "double" else n
            attrs = 'tag="%s" column="%s" type="%s"' % (fd["tag"], fd["column"], t)
            if n:
                attrs += ' len="%s"' % n
            attrs += ' key="%d" nullable="%d"' % (1 if fd["key"] else 0, 0 if fd["key"] else 1)
            for k in ("calc", "column2", "factor"):
                if k in fd["extra"]:
                    attrs += ' %s="%s"' % (k, fd["extra"][k])
            out.append("    <field %s/>" % attrs)
        out.append("  </message>")
    # The status table: rows are named, so its "instrument" column is the row name.
    out.append('  <message mref="30" table="zel_status" insertfirst="n">')
    out.append('    <field tag="insref" column="name" type="varchar" len="64" key="0" nullable="0"/>')
    out.append('    <field tag="value" column="value" type="varchar" len="255" key="0" nullable="1"/>')
    out.append("  </message>")
    out.append("</definitions>")
    return "\n".join(out) + "\n"


def schema(build):
    """The PostgreSQL schema, as zel-schema renders examples/zel.tabledef."""
    tool = os.path.join(build, "tools", "zel-schema", "zel-schema")
    module = os.path.join(build, "modules", "pgsql", "dbdrv_pgsql.so")
    for path in (tool, module):
        if not os.path.exists(path):
            sys.exit("generate.py: %s is missing: build zel-schema and dbdrv_pgsql first" % path)
    args = [tool, "--module", module, "--if-not-exists"]
    for table, extra in CALC_BASES.items():
        for name, (t, n) in extra:
            args.append("--column-type=%s.%s=%s%s" % (table, name, t, "(%s)" % n if n else ""))
    args.append(os.path.join(HERE, "zel.tabledef"))
    run = subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    if run.returncode != 0:
        sys.exit("generate.py: zel-schema failed:\n" + run.stderr)
    return ("-- Tables of the demo database for examples/zel.tabledef (PostgreSQL), written by\n"
            "-- zel-schema; examples/generate.py gives the raw-value columns of the calculated\n"
            "-- key ratios their types.\n" + run.stdout)


def file_schema(render, title, engine="", renderer="ODBC module", prologue=None):
    """A schema written here from the list, for the servers reached through ODBC."""
    tables = {}
    order = []
    for kinds, table, first, fields in MESSAGES:
        if table not in tables:
            tables[table] = {"columns": [("insref", BIG, True)], "keys": ["insref"]}
            order.append(table)
        t = tables[table]
        for fd in fields:
            names = [c[0] for c in t["columns"]]
            if fd["column"] in names:
                old = t["columns"][names.index(fd["column"])]
                assert old[1] == fd["type"], (table, fd["column"])
                continue
            t["columns"].append((fd["column"], fd["type"], fd["key"]))
            if fd["key"]:
                t["keys"].append(fd["column"])
    for table, extra in CALC_BASES.items():
        for name, typ in extra:
            tables[table]["columns"].append((name, typ, False))
    out = ["-- Tables of the demo database for %s." % title,
           "-- Generated by examples/generate.py together with the table definitions: the column",
           "-- types are those the %s renders for the definitions' types, and every" % renderer,
           "-- primary key is the instrument column plus the columns marked key=\"1\".",
           ""] + (prologue or [])
    for table in order:
        t = tables[table]
        out.append("CREATE TABLE IF NOT EXISTS %s (" % table)
        for name, typ, key in t["columns"]:
            out.append("    %s %s%s," % (name, render(typ), " NOT NULL" if key else " NULL"))
        out.append("    PRIMARY KEY (%s)" % ", ".join(t["keys"]))
        out.append(")%s;" % engine)
        out.append("")
    out.append("CREATE TABLE IF NOT EXISTS zel_status (")
    out.append("    name %s NOT NULL," % render(VC(64)))
    out.append("    value %s NULL," % render(VC(255)))
    out.append("    PRIMARY KEY (name)")
    out.append(")%s;" % engine)
    return "\n".join(out) + "\n"


if __name__ == "__main__":
    build = os.path.join(os.path.dirname(HERE), "build")
    if "--build" in sys.argv:
        build = os.path.abspath(sys.argv[sys.argv.index("--build") + 1])
    outputs = [(os.path.join(HERE, "zel.tabledef"), tabledef)]
    outputs.append((os.path.join(HERE, "schema", "postgresql.sql"), lambda: schema(build)))
    outputs.append((os.path.join(HERE, "zel.mariadb.tabledef"), lambda: tabledef(MARIADB_TYPES, "mariadb.sql")))
    outputs.append((os.path.join(HERE, "zel.sqlite.tabledef"), lambda: tabledef(SQLITE_TYPES, "sqlite.sql")))
    outputs.append((os.path.join(HERE, "schema", "mariadb.sql"), lambda: file_schema(
        mariadb_type, "examples/zel.mariadb.tabledef (MariaDB)",
        engine=" ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_bin")))
    outputs.append((os.path.join(HERE, "schema", "sqlite.sql"), lambda: file_schema(
        sqlite_type, "examples/zel.sqlite.tabledef (SQLite)", prologue=SQLITE_PROLOGUE)))
    stale = []
    for path, make in outputs:
        text = make()
        if "--check" not in sys.argv:
            with open(path, "w") as fh:
                fh.write(text)
        elif not os.path.exists(path) or open(path).read() != text:
            stale.append(os.path.relpath(path, os.path.dirname(HERE)))
    if stale:
        sys.exit("generate.py: out of date (run examples/generate.py): " + " ".join(stale))
