-- The rows that scripted_test.sh compares with expected_keepdeleted<N>.txt: the tables the
-- scenario writes, for its instruments only, without the stamps that come from the clock.
\echo quotes
SELECT insref, quote_date, quote_time, bid, ask, last, bid_volume, ask_volume
  FROM quotes WHERE insref BETWEEN 2001 AND 2009 ORDER BY insref;
\echo trades
SELECT insref, trade_date, trade_time, trade_id, price, quantity, flags
  FROM trades WHERE insref BETWEEN 2001 AND 2009 ORDER BY insref, trade_id;
\echo basicdata
SELECT insref, name, symbol, isin, lot_size, status, linked
  FROM basicdata WHERE insref BETWEEN 2001 AND 2009 ORDER BY insref;
\echo instrument_links
SELECT * FROM instrument_links WHERE insref BETWEEN 2001 AND 2009 ORDER BY insref, linked_insref;
\echo orderbook
SELECT insref, side, price, volume, orders
  FROM orderbook WHERE insref BETWEEN 2001 AND 2009 ORDER BY insref, side, price;
\echo keyratios
SELECT insref, sales_per_share FROM keyratios WHERE insref BETWEEN 2001 AND 2009 ORDER BY insref;
