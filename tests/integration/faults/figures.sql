-- figures.sql - run after ../pg_run/compare_sent.sql in the same session: how many rows the
-- comparison covered, and up to five of the rows sent and not stored, for the case's report.
-- Output lines: rows|N|, lostrow|0|table insref key.
SELECT 'rows', count(*), '' FROM (SELECT DISTINCT kind, insref, key FROM expected) e;
SELECT 'lostrow', 0, format('%s insref %s key %s', e.tbl, e.insref, e.key)
  FROM (SELECT DISTINCT kind, tbl, insref, key FROM expected) e
  JOIN unstored u USING (kind, insref, key)
 WHERE NOT (u.kind = 1 AND (u.insref, u.key) IN (SELECT insref, key FROM catchup))
 ORDER BY 3 LIMIT 5;
