-- The rows that builders_pg_test.sh compares with expected_rows.txt: every table of the
-- example schema, in a fixed order, without the stamps that come from the clock.
\echo trades
SELECT insref, trade_date, trade_time, trade_id, price, quantity, flags, price2, original_time
  FROM trades ORDER BY insref, trade_date, trade_id;
\echo minute_bars
SELECT * FROM minute_bars ORDER BY insref, bar_time;
\echo quotes
SELECT * FROM quotes ORDER BY insref;
\echo quotes_bbo
-- Reset by the clock: the stamps only have to be there.
SELECT insref, quote_date IS NOT NULL, quote_time IS NOT NULL, bid, ask, bid_volume, ask_volume
  FROM quotes_bbo ORDER BY insref;
\echo quotes_ex
SELECT * FROM quotes_ex ORDER BY insref;
\echo orderbook
SELECT * FROM orderbook ORDER BY insref, side, price;
\echo orders
SELECT * FROM orders ORDER BY insref, order_id;
\echo basicdata
SELECT * FROM basicdata ORDER BY insref;
\echo instrument_links
SELECT * FROM instrument_links ORDER BY insref, linked_insref;
\echo underlyings
SELECT * FROM underlyings ORDER BY insref, underlying_insref;
\echo trading_calendar
SELECT * FROM trading_calendar ORDER BY insref, trading_date;
\echo dividends
SELECT * FROM dividends ORDER BY insref, ex_date;
\echo alt_identifiers
SELECT * FROM alt_identifiers ORDER BY insref, scheme;
\echo tick_sizes
SELECT * FROM tick_sizes ORDER BY insref, from_price;
\echo news
SELECT * FROM news ORDER BY insref, news_id;
\echo news_coding
SELECT * FROM news_coding ORDER BY insref, news_id, isin, company_id;
\echo news_tags
SELECT * FROM news_tags ORDER BY insref, news_id, tag;
\echo corporate_actions
SELECT * FROM corporate_actions ORDER BY insref, ex_date, action_key;
\echo pricehistory
SELECT insref, hist_date, open_price, close_price, high_price, low_price, average_price, volume,
       turnover, trades FROM pricehistory ORDER BY insref, hist_date;
\echo pricehistory_adjusted
SELECT insref, hist_date, open_price, close_price, high_price, low_price, average_price, volume,
       turnover, trades FROM pricehistory_adjusted ORDER BY insref, hist_date;
\echo fundamentals
SELECT * FROM fundamentals ORDER BY insref, fiscal_year, period;
\echo performance
-- References, then the differences that have a reference or were reset.
SELECT insref, update_date, update_time, ref_1d, ref_1w, ref_2w, ref_1m, ref_close_ex
  FROM performance ORDER BY insref;
SELECT insref, diff1d, diff1dprc, diff1w, diff1wprc, diff2w, diff2wprc, diff1m, diff1mprc, diff3m,
       diff3mprc, diffex1d, diffex1dprc
  FROM performance ORDER BY insref;
SELECT insref, diffyield1d, diffyield1dprc, diffyield1w, diffyield1wprc, diffyield2w,
       diffbid1d, diffbid1dprc, diffbid1w, diffbid1wprc, diffbidyield1d, diffbidyield1dprc,
       diffbidyield1w, diffbidyield1wprc
  FROM performance ORDER BY insref;
\echo keyratios
SELECT * FROM keyratios ORDER BY insref;
\echo estimates
SELECT * FROM estimates ORDER BY insref, fiscal_year;
\echo recommendations
SELECT * FROM recommendations ORDER BY insref, broker_id;
\echo noii
SELECT * FROM noii ORDER BY insref;
\echo l10n
SELECT * FROM l10n ORDER BY insref, language;
\echo ci_company
SELECT * FROM ci_company ORDER BY insref;
\echo ci_officers
SELECT * FROM ci_officers ORDER BY insref, role;
\echo priip
SELECT * FROM priip ORDER BY insref;
\echo mifid
SELECT * FROM mifid ORDER BY insref;
\echo mifid_transparency
SELECT * FROM mifid_transparency ORDER BY insref, calc_date;
\echo mappings
SELECT * FROM mappings ORDER BY insref, scheme, mapped_insref;
\echo greeks
SELECT * FROM greeks ORDER BY insref;
\echo zel_status
SELECT name FROM zel_status ORDER BY name;
