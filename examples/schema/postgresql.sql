-- Tables of the demo database for examples/zel.tabledef (PostgreSQL), written by
-- zel-schema; examples/generate.py gives the raw-value columns of the calculated
-- key ratios their types.
-- Tables of zel.tabledef: column types and nullability as dbdrv_pgsql.so renders them without a server connection.

CREATE TABLE IF NOT EXISTS trades (
    insref numeric(20,0) NOT NULL,
    trade_date date NOT NULL,
    trade_time time without time zone NULL,
    trade_id numeric(20,0) NOT NULL,
    price numeric(18,4) NULL,
    quantity numeric(20,0) NULL,
    flags integer NULL,
    price2 numeric(18,4) NULL,
    original_time time without time zone NULL,
    PRIMARY KEY (insref, trade_date, trade_id)
);

CREATE TABLE IF NOT EXISTS minute_bars (
    insref numeric(20,0) NOT NULL,
    open_price double precision NULL,
    high_price double precision NULL,
    low_price double precision NULL,
    close_price double precision NULL,
    open_price2 double precision NULL,
    high_price2 double precision NULL,
    low_price2 double precision NULL,
    close_price2 double precision NULL,
    volume double precision NULL,
    turnover double precision NULL,
    bar_time timestamp without time zone NOT NULL,
    PRIMARY KEY (insref, bar_time)
);

CREATE TABLE IF NOT EXISTS quotes (
    insref numeric(20,0) NOT NULL,
    quote_date date NULL,
    quote_time time without time zone NULL,
    bid numeric(18,4) NULL,
    ask numeric(18,4) NULL,
    last numeric(18,4) NULL,
    high numeric(18,4) NULL,
    low numeric(18,4) NULL,
    open numeric(18,4) NULL,
    bid_volume numeric(20,0) NULL,
    ask_volume numeric(20,0) NULL,
    day_volume numeric(20,0) NULL,
    turnover numeric(20,4) NULL,
    bid_yield numeric(18,6) NULL,
    yield numeric(18,6) NULL,
    nav numeric(18,4) NULL,
    last_trade_time time without time zone NULL,
    last_trade_date date NULL,
    PRIMARY KEY (insref)
);

CREATE TABLE IF NOT EXISTS quotes_bbo (
    insref numeric(20,0) NOT NULL,
    quote_date date NULL,
    quote_time time without time zone NULL,
    bid numeric(18,4) NULL,
    ask numeric(18,4) NULL,
    bid_volume numeric(20,0) NULL,
    ask_volume numeric(20,0) NULL,
    PRIMARY KEY (insref)
);

CREATE TABLE IF NOT EXISTS quotes_ex (
    insref numeric(20,0) NOT NULL,
    quote_date date NULL,
    quote_time time without time zone NULL,
    bid numeric(18,4) NULL,
    ask numeric(18,4) NULL,
    last numeric(18,4) NULL,
    bid_volume numeric(20,0) NULL,
    ask_volume numeric(20,0) NULL,
    PRIMARY KEY (insref)
);

CREATE TABLE IF NOT EXISTS orderbook (
    insref numeric(20,0) NOT NULL,
    side character(1) NOT NULL,
    price numeric(18,4) NOT NULL,
    volume numeric(20,0) NULL,
    orders integer NULL,
    book_date date NULL,
    book_time time without time zone NULL,
    PRIMARY KEY (insref, side, price)
);

CREATE TABLE IF NOT EXISTS orders (
    insref numeric(20,0) NOT NULL,
    order_id numeric(20,0) NOT NULL,
    side character(1) NULL,
    price numeric(18,4) NULL,
    quantity numeric(20,0) NULL,
    order_date date NULL,
    order_time time without time zone NULL,
    PRIMARY KEY (insref, order_id)
);

CREATE TABLE IF NOT EXISTS basicdata (
    insref numeric(20,0) NOT NULL,
    name character varying(64) NULL,
    symbol character varying(24) NULL,
    isin character(12) NULL,
    currency character(3) NULL,
    market character varying(8) NULL,
    lot_size integer NULL,
    status integer NULL,
    state_text character varying(32) NULL,
    instrument_type integer NULL,
    sectors character varying(64) NULL,
    linked character varying(255) NULL,
    update_date date NULL,
    update_time time without time zone NULL,
    PRIMARY KEY (insref)
);

CREATE TABLE IF NOT EXISTS instrument_links (
    insref numeric(20,0) NOT NULL,
    linked_insref numeric(20,0) NOT NULL,
    PRIMARY KEY (insref, linked_insref)
);

CREATE TABLE IF NOT EXISTS underlyings (
    insref numeric(20,0) NOT NULL,
    underlying_insref numeric(20,0) NOT NULL,
    weight double precision NULL,
    PRIMARY KEY (insref, underlying_insref)
);

CREATE TABLE IF NOT EXISTS trading_calendar (
    insref numeric(20,0) NOT NULL,
    trading_date date NOT NULL,
    open_time time without time zone NULL,
    close_time time without time zone NULL,
    PRIMARY KEY (insref, trading_date)
);

CREATE TABLE IF NOT EXISTS dividends (
    insref numeric(20,0) NOT NULL,
    ex_date date NOT NULL,
    amount numeric(18,4) NULL,
    currency character(3) NULL,
    PRIMARY KEY (insref, ex_date)
);

CREATE TABLE IF NOT EXISTS alt_identifiers (
    insref numeric(20,0) NOT NULL,
    scheme character varying(16) NOT NULL,
    identifier character varying(32) NULL,
    PRIMARY KEY (insref, scheme)
);

CREATE TABLE IF NOT EXISTS tick_sizes (
    insref numeric(20,0) NOT NULL,
    from_price numeric(18,4) NOT NULL,
    tick_size numeric(18,4) NULL,
    PRIMARY KEY (insref, from_price)
);

CREATE TABLE IF NOT EXISTS news (
    insref numeric(20,0) NOT NULL,
    news_id character varying(32) NOT NULL,
    news_date date NULL,
    news_time time without time zone NULL,
    headline character varying(255) NULL,
    source character varying(16) NULL,
    language character(2) NULL,
    body text NULL,
    PRIMARY KEY (insref, news_id)
);

CREATE TABLE IF NOT EXISTS news_coding (
    insref numeric(20,0) NOT NULL,
    news_id character varying(32) NOT NULL,
    news_date date NULL,
    isin character(12) NOT NULL,
    company_id integer NOT NULL,
    PRIMARY KEY (insref, news_id, isin, company_id)
);

CREATE TABLE IF NOT EXISTS news_tags (
    insref numeric(20,0) NOT NULL,
    news_id character varying(32) NOT NULL,
    news_date date NULL,
    tag character varying(32) NOT NULL,
    PRIMARY KEY (insref, news_id, tag)
);

CREATE TABLE IF NOT EXISTS corporate_actions (
    insref numeric(20,0) NOT NULL,
    ex_date date NOT NULL,
    action_time time without time zone NULL,
    action_key numeric(20,0) NOT NULL,
    action_type integer NULL,
    factor numeric(18,6) NULL,
    description character varying(64) NULL,
    amount numeric(18,4) NULL,
    announced timestamp without time zone NULL,
    PRIMARY KEY (insref, ex_date, action_key)
);

CREATE TABLE IF NOT EXISTS pricehistory (
    insref numeric(20,0) NOT NULL,
    hist_date date NOT NULL,
    hist_time time without time zone NULL,
    open_price numeric(18,4) NULL,
    close_price numeric(18,4) NULL,
    high_price numeric(18,4) NULL,
    low_price numeric(18,4) NULL,
    average_price numeric(18,4) NULL,
    volume numeric(20,0) NULL,
    turnover numeric(20,4) NULL,
    trades integer NULL,
    PRIMARY KEY (insref, hist_date)
);

CREATE TABLE IF NOT EXISTS pricehistory_adjusted (
    insref numeric(20,0) NOT NULL,
    hist_date date NOT NULL,
    hist_time time without time zone NULL,
    open_price numeric(18,4) NULL,
    close_price numeric(18,4) NULL,
    high_price numeric(18,4) NULL,
    low_price numeric(18,4) NULL,
    average_price numeric(18,4) NULL,
    volume numeric(20,0) NULL,
    turnover numeric(20,4) NULL,
    trades integer NULL,
    PRIMARY KEY (insref, hist_date)
);

CREATE TABLE IF NOT EXISTS fundamentals (
    insref numeric(20,0) NOT NULL,
    fiscal_year integer NOT NULL,
    period character varying(4) NOT NULL,
    revenue numeric(20,0) NULL,
    net_income numeric(20,0) NULL,
    total_assets numeric(20,0) NULL,
    equity numeric(20,0) NULL,
    employees integer NULL,
    update_date date NULL,
    update_time time without time zone NULL,
    PRIMARY KEY (insref, fiscal_year, period)
);

CREATE TABLE IF NOT EXISTS performance (
    insref numeric(20,0) NOT NULL,
    update_date date NULL,
    update_time time without time zone NULL,
    ref_1d numeric(18,4) NULL,
    ref_1w numeric(18,4) NULL,
    ref_2w numeric(18,4) NULL,
    ref_1m numeric(18,4) NULL,
    ref_3m numeric(18,4) NULL,
    ref_6m numeric(18,4) NULL,
    ref_9m numeric(18,4) NULL,
    ref_1y numeric(18,4) NULL,
    ref_2y numeric(18,4) NULL,
    ref_3y numeric(18,4) NULL,
    ref_4y numeric(18,4) NULL,
    ref_5y numeric(18,4) NULL,
    ref_6y numeric(18,4) NULL,
    ref_7y numeric(18,4) NULL,
    ref_8y numeric(18,4) NULL,
    ref_9y numeric(18,4) NULL,
    ref_10y numeric(18,4) NULL,
    ref_wtd numeric(18,4) NULL,
    ref_mtd numeric(18,4) NULL,
    ref_qtd numeric(18,4) NULL,
    ref_ytd numeric(18,4) NULL,
    ref_pytd numeric(18,4) NULL,
    ref_ld numeric(18,4) NULL,
    refyield_1d numeric(18,6) NULL,
    refyield_1w numeric(18,6) NULL,
    refyield_2w numeric(18,6) NULL,
    refyield_1m numeric(18,6) NULL,
    refyield_3m numeric(18,6) NULL,
    refyield_6m numeric(18,6) NULL,
    refyield_9m numeric(18,6) NULL,
    refyield_1y numeric(18,6) NULL,
    refyield_2y numeric(18,6) NULL,
    refyield_3y numeric(18,6) NULL,
    refyield_4y numeric(18,6) NULL,
    refyield_5y numeric(18,6) NULL,
    refyield_6y numeric(18,6) NULL,
    refyield_7y numeric(18,6) NULL,
    refyield_8y numeric(18,6) NULL,
    refyield_9y numeric(18,6) NULL,
    refyield_10y numeric(18,6) NULL,
    refyield_wtd numeric(18,6) NULL,
    refyield_mtd numeric(18,6) NULL,
    refyield_qtd numeric(18,6) NULL,
    refyield_ytd numeric(18,6) NULL,
    refyield_pytd numeric(18,6) NULL,
    refyield_ld numeric(18,6) NULL,
    ref_bid_1d numeric(18,4) NULL,
    refyield_bid_1d numeric(18,6) NULL,
    ref_bid_1w numeric(18,4) NULL,
    refyield_bid_1w numeric(18,6) NULL,
    ref_close_ex numeric(18,4) NULL,
    diff1d double precision NULL,
    diff1dprc double precision NULL,
    diff1w double precision NULL,
    diff1wprc double precision NULL,
    diff2w double precision NULL,
    diff2wprc double precision NULL,
    diff1m double precision NULL,
    diff1mprc double precision NULL,
    diff3m double precision NULL,
    diff3mprc double precision NULL,
    diff6m double precision NULL,
    diff6mprc double precision NULL,
    diff9m double precision NULL,
    diff9mprc double precision NULL,
    diff1y double precision NULL,
    diff1yprc double precision NULL,
    diff2y double precision NULL,
    diff2yprc double precision NULL,
    diff3y double precision NULL,
    diff3yprc double precision NULL,
    diff4y double precision NULL,
    diff4yprc double precision NULL,
    diff5y double precision NULL,
    diff5yprc double precision NULL,
    diff6y double precision NULL,
    diff6yprc double precision NULL,
    diff7y double precision NULL,
    diff7yprc double precision NULL,
    diff8y double precision NULL,
    diff8yprc double precision NULL,
    diff9y double precision NULL,
    diff9yprc double precision NULL,
    diff10y double precision NULL,
    diff10yprc double precision NULL,
    diffwtd double precision NULL,
    diffwtdprc double precision NULL,
    diffmtd double precision NULL,
    diffmtdprc double precision NULL,
    diffqtd double precision NULL,
    diffqtdprc double precision NULL,
    diffytd double precision NULL,
    diffytdprc double precision NULL,
    diffpytd double precision NULL,
    diffpytdprc double precision NULL,
    diffld double precision NULL,
    diffldprc double precision NULL,
    diffyield1d double precision NULL,
    diffyield1dprc double precision NULL,
    diffyield1w double precision NULL,
    diffyield1wprc double precision NULL,
    diffyield2w double precision NULL,
    diffyield2wprc double precision NULL,
    diffyield1m double precision NULL,
    diffyield1mprc double precision NULL,
    diffyield3m double precision NULL,
    diffyield3mprc double precision NULL,
    diffyield6m double precision NULL,
    diffyield6mprc double precision NULL,
    diffyield9m double precision NULL,
    diffyield9mprc double precision NULL,
    diffyield1y double precision NULL,
    diffyield1yprc double precision NULL,
    diffyield2y double precision NULL,
    diffyield2yprc double precision NULL,
    diffyield3y double precision NULL,
    diffyield3yprc double precision NULL,
    diffyield4y double precision NULL,
    diffyield4yprc double precision NULL,
    diffyield5y double precision NULL,
    diffyield5yprc double precision NULL,
    diffyield6y double precision NULL,
    diffyield6yprc double precision NULL,
    diffyield7y double precision NULL,
    diffyield7yprc double precision NULL,
    diffyield8y double precision NULL,
    diffyield8yprc double precision NULL,
    diffyield9y double precision NULL,
    diffyield9yprc double precision NULL,
    diffyield10y double precision NULL,
    diffyield10yprc double precision NULL,
    diffyieldwtd double precision NULL,
    diffyieldwtdprc double precision NULL,
    diffyieldmtd double precision NULL,
    diffyieldmtdprc double precision NULL,
    diffyieldqtd double precision NULL,
    diffyieldqtdprc double precision NULL,
    diffyieldytd double precision NULL,
    diffyieldytdprc double precision NULL,
    diffyieldpytd double precision NULL,
    diffyieldpytdprc double precision NULL,
    diffyieldld double precision NULL,
    diffyieldldprc double precision NULL,
    diffbid1d double precision NULL,
    diffbid1dprc double precision NULL,
    diffbid1w double precision NULL,
    diffbid1wprc double precision NULL,
    diffbidyield1d double precision NULL,
    diffbidyield1dprc double precision NULL,
    diffbidyield1w double precision NULL,
    diffbidyield1wprc double precision NULL,
    diffex1d double precision NULL,
    diffex1dprc double precision NULL,
    PRIMARY KEY (insref)
);

CREATE TABLE IF NOT EXISTS keyratios (
    insref numeric(20,0) NOT NULL,
    update_date date NULL,
    update_time time without time zone NULL,
    pe double precision NULL,
    pb double precision NULL,
    dividend_yield double precision NULL,
    sales_per_share numeric(18,4) NULL,
    market_cap double precision NULL,
    eps numeric(18,4) NULL,
    bvps numeric(18,4) NULL,
    dps numeric(18,4) NULL,
    shares_outstanding numeric(20,0) NULL,
    PRIMARY KEY (insref)
);

CREATE TABLE IF NOT EXISTS estimates (
    insref numeric(20,0) NOT NULL,
    fiscal_year integer NOT NULL,
    eps_estimate numeric(18,4) NULL,
    revenue_estimate numeric(20,0) NULL,
    analysts integer NULL,
    update_date date NULL,
    update_time time without time zone NULL,
    PRIMARY KEY (insref, fiscal_year)
);

CREATE TABLE IF NOT EXISTS recommendations (
    insref numeric(20,0) NOT NULL,
    broker_id integer NOT NULL,
    recommendation character varying(16) NULL,
    target_price numeric(18,4) NULL,
    update_date date NULL,
    update_time time without time zone NULL,
    PRIMARY KEY (insref, broker_id)
);

CREATE TABLE IF NOT EXISTS noii (
    insref numeric(20,0) NOT NULL,
    update_date date NULL,
    update_time time without time zone NULL,
    paired_shares numeric(20,0) NULL,
    imbalance_shares numeric(20,0) NULL,
    imbalance_side character(1) NULL,
    reference_price numeric(18,4) NULL,
    near_price numeric(18,4) NULL,
    far_price numeric(18,4) NULL,
    PRIMARY KEY (insref)
);

CREATE TABLE IF NOT EXISTS l10n (
    insref numeric(20,0) NOT NULL,
    language character(2) NOT NULL,
    local_name character varying(64) NULL,
    update_date date NULL,
    update_time time without time zone NULL,
    PRIMARY KEY (insref, language)
);

CREATE TABLE IF NOT EXISTS ci_company (
    insref numeric(20,0) NOT NULL,
    company_id integer NULL,
    company_name character varying(64) NULL,
    country character(2) NULL,
    sector character varying(32) NULL,
    PRIMARY KEY (insref)
);

CREATE TABLE IF NOT EXISTS ci_officers (
    insref numeric(20,0) NOT NULL,
    role character varying(32) NOT NULL,
    person character varying(64) NULL,
    PRIMARY KEY (insref, role)
);

CREATE TABLE IF NOT EXISTS priip (
    insref numeric(20,0) NOT NULL,
    kid_url character varying(255) NULL,
    risk_indicator integer NULL,
    holding_period integer NULL,
    PRIMARY KEY (insref)
);

CREATE TABLE IF NOT EXISTS mifid (
    insref numeric(20,0) NOT NULL,
    liquid integer NULL,
    avg_daily_turnover numeric(20,4) NULL,
    standard_market_size integer NULL,
    PRIMARY KEY (insref)
);

CREATE TABLE IF NOT EXISTS mifid_transparency (
    insref numeric(20,0) NOT NULL,
    calc_date date NOT NULL,
    transactions numeric(20,0) NULL,
    PRIMARY KEY (insref, calc_date)
);

CREATE TABLE IF NOT EXISTS mappings (
    insref numeric(20,0) NOT NULL,
    scheme integer NOT NULL,
    mapped_insref numeric(20,0) NOT NULL,
    PRIMARY KEY (insref, scheme, mapped_insref)
);

CREATE TABLE IF NOT EXISTS greeks (
    insref numeric(20,0) NOT NULL,
    update_date date NULL,
    update_time time without time zone NULL,
    delta numeric(18,6) NULL,
    gamma numeric(18,6) NULL,
    vega numeric(18,6) NULL,
    theta numeric(18,6) NULL,
    rho numeric(18,6) NULL,
    implied_volatility numeric(18,6) NULL,
    PRIMARY KEY (insref)
);

CREATE TABLE IF NOT EXISTS zel_status (
    name character varying(64) NOT NULL,
    value character varying(255) NULL,
    PRIMARY KEY (name)
);
