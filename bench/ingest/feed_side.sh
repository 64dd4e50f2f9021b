# feed_side.sh - sourced by the ingest and freshness benchmarks: the feed they all give zel.
#
# start_feed_side WORK RATE [COMMAND...] starts the simulator on a free loopback port with the
# benchmarks' quote-heavy mix (FEED_QUOTE 80, FEED_QUOTEEX 10, FEED_TRADE 10) over 1,000
# instruments, RATE messages per second (0: flat out), behind COMMAND when one is given (a
# processor pinning, for example). It writes WORK/feedsim.port and WORK/feedsim.log, waits
# until the port is known, sets feedsim_pid (declare it local in the caller first) and adds
# the process to the caller's pids array so that its clean-up stops it. Needs FEEDSIM.
start_feed_side() {
    local work=$1 rate=$2
    shift 2
    "$@" "$FEEDSIM" --listen 127.0.0.1:0 --port-file "$work/feedsim.port" --user demo --password demo \
        --rate "$rate" --instruments 1000 --seed 1 --mix FEED_QUOTE=80,FEED_QUOTEEX=10,FEED_TRADE=10 \
        >"$work/feedsim.log" 2>&1 &
    feedsim_pid=$!
    pids+=("$feedsim_pid")
    for _ in $(seq 1 100); do [[ -s $work/feedsim.port ]] && break; sleep 0.1; done
}
