#!/usr/bin/env bash
# lsmac while veth pairs come and go among a few thousand links. Both ends of a
# pair carry related addresses (02:5A:hi:lo:00:01 and :02), so a listing that
# shows one end without the other is caught. Reads are slowed, from this side,
# so that changes land inside lsmac's dumps. Every run must list a consistent
# snapshot, or fail with one error line; most must succeed. Then a storm of
# changes without pause must make lsmac give up on the list with its own words
# rather than list a torn dump.
#
#   churn.sh LSMAC [SECONDS]
set -u
harness=$(dirname "$0")/lib/harness.sh
if [ "${1:-}" != --inside ]; then
  unshare -rn true 2>/dev/null || { . "$harness" churn; skip "this user may not make network namespaces (unshare -rn)"; }
  exec unshare -rn "$0" --inside "$@"
fi
. "$harness" churn
lsmac=$2 seconds=${3:-30}
on_exit 'rm -f "$work/churning"; wait'

# pair ID INDEX PEER-INDEX
pair() { printf 'link add name a%d index %d address 02:5a:%02x:%02x:00:01 type veth peer name b%d index %d address 02:5a:%02x:%02x:00:02\n' \
  "$1" "$2" $(($1 / 256)) $(($1 % 256)) "$1" "$3" $(($1 / 256)) $(($1 % 256)); }
stable=1000
for i in $(seq "$stable"); do pair "$i" $((98 + 2 * i)) $((99 + 2 * i)); done | ip -batch -

requests() { grep -c '^[0-9]* *sendto(' "$work/trace"; }
# Runs lsmac once and sorts the run into consistent, failed (cleanly) or bad.
run_lsmac() {
  ASAN_OPTIONS=detect_leaks=0 strace -f -qq -o "$work/trace" -e trace=sendto,recvmsg -e inject=recvmsg:delay_exit=300 \
    "$lsmac" >"$work/out" 2>"$work/err"
  status=$?
  runs=$((runs + 1))
  # A dump the kernel marked interrupted is taken again: more than one request.
  [ "$(requests)" -le 1 ] || interrupted=$((interrupted + 1))
  if [ "$status" = 0 ]; then
    # Every stable pair whole, and every end of every pair with its other end.
    problem=$(awk -v stable="$stable" '
      !/^MAC Address: 02-5A-[0-9A-F][0-9A-F]-[0-9A-F][0-9A-F]-00-0[12]$/ { print "stray line: " $0; exit }
      { id = substr($3, 7, 5); end = substr($3, 16, 2); seen[id, end]++; ids[id] }
      END {
        for (id in ids) if (seen[id, "01"] != 1 || seen[id, "02"] != 1) { print "pair " id " torn"; exit }
        n = 0; for (id in ids) n++
        if (n < stable) print "only " n " pairs"
      }' "$work/out")
    if [ -z "$problem" ] && [ ! -s "$work/err" ]; then
      consistent=$((consistent + 1))
    else
      bad=$((bad + 1)); echo "inconsistent listing: $problem $(head -c 200 "$work/err")"
    fi
  elif [ "$status" = 1 ] && [ ! -s "$work/out" ] && [ "$(wc -l <"$work/err")" = 1 ] &&
       grep -q '^lsmac: cannot list network adapters: ' "$work/err"; then
    clean_failures=$((clean_failures + 1))
  else
    bad=$((bad + 1)); echo "unclean failure: status $status, $(head -c 200 "$work/err")"
  fi
}

# churn FIRST PAUSE: pairs FIRST and up come and go, each deleted a few
# changes after it came, one change every PAUSE seconds (0: without pause).
# Their ends sit before and after all stable links in the dump's ifindex
# order, so nearly any change during a dump would tear one of them.
churn() {
  touch "$work/churning"
  (for ((k = $1; ; k++)); do
     [ -e "$work/churning" ] || break
     pair "$k" $((10 + k % 8)) $((5000 + k % 8))
     [ "$k" -lt $(($1 + 5)) ] || echo "link del a$((k - 5))"
     [ "$2" = 0 ] || sleep "$2"
   done | ip -force -batch - >/dev/null 2>&1) &
}
stop_churn() {
  rm -f "$work/churning"
  wait
}

# A quiet listing: all these links, past the first buffer, in one dump.
runs=0 consistent=0 clean_failures=0 interrupted=0 bad=0
started=$(date +%s%N)
run_lsmac
quiet_ms=$((($(date +%s%N) - started) / 1000000))
quiet_requests=$(requests) quiet_listed=$consistent

# Changes come no faster than every 0.2 s, nor than twice the time a quiet
# listing takes, so that the retries, not how fast this build or machine is,
# decide how many listings meet a change.
pause_ms=$((2 * quiet_ms > 200 ? 2 * quiet_ms : 200))
pause=$(printf '%d.%03d' $((pause_ms / 1000)) $((pause_ms % 1000)))
runs=0 consistent=0 clean_failures=0 interrupted=0 bad=0
churn 10000 "$pause"
end=$((SECONDS + seconds))
while [ "$SECONDS" -lt "$end" ]; do run_lsmac; done
stop_churn
echo "churn: a change every $pause s; $runs runs: $consistent consistent, $clean_failures failed cleanly, $bad bad; $interrupted met an interrupted dump"
check "changes every $pause s: no torn listing, most listings whole, some dumps taken again" \
  eval '[ "$bad" = 0 ] && [ $((2 * consistent)) -gt "$runs" ] && [ "$interrupted" -gt 0 ]'

# Without pause every dump is torn, retries and all.
gave_up=false storm_runs=$runs
churn 20000 0
for _ in 1 2 3 4 5; do
  run_lsmac
  if [ "$(cat "$work/err")" = "lsmac: cannot list network adapters: RTM_GETLINK: the link list kept changing during the dump" ]; then
    gave_up=true
    break
  fi
done
stop_churn
echo "churn: a storm without pause; $((runs - storm_runs)) runs, $bad bad in all; gave up on the changing list: $gave_up"
check "a storm of changes: no torn listing, and lsmac gives up in its own words" eval '[ "$bad" = 0 ] && $gave_up'
check "a quiet listing of $((2 * stable)) links, in one request" \
  eval '[ "$quiet_listed" = 1 ] && [ "$quiet_requests" = 1 ]'
finish
