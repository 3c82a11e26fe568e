#!/usr/bin/env bash
# lsmac.exe against every answer GetAdaptersInfo can give: the stand-in IP
# Helper library (iphlpapi_standin.cc) answers as each case asks, Wine runs
# the executable beside it, and each case checks the output, the exit status
# and the buffer lengths that lsmac handed the platform.
#
#   windows-contract.sh WINE LSMAC.EXE IPHLPAPI.DLL
set -u
. "$(dirname "$0")/lib/harness.sh" "windows contract"
wine=$1
cp "$2" "$3" "$work/"
# The system's messages in English, whatever this machine's locale, but
# where a case asks for another.
export WINEDLLOVERRIDES=iphlpapi=n STANDIN_LOG=$work/lengths LC_ALL=C

# The platform's record: 640 bytes in 32-bit programs, 704 in 64-bit ones.
if x86_64-w64-mingw32-objdump -f "$2" | grep -q pei-i386; then record=640; else record=704; fi
fit=$((10240 / record))

# The address lines of the records at INDEX..., as the stand-in fills them.
lines() {
  local index
  for index in "$@"; do
    printf 'MAC Address: %02X-%02X-%02X-%02X-%02X-%02X\r\n' $(for position in 0 1 2 3 4 5; do
      echo $(((index * 7 + position * 0x31) & 255)); done)
  done
}
# The buffer lengths lsmac should hand over: 10240, then those of COUNT records.
asked() { echo 10240; for count in "$@"; do echo $((count * record)); done; }

# answers ANSWERS STATUS INDICES STDERR LENGTHS: lsmac exits with STATUS,
# lists the records at INDICES, writes STDERR and CR LF (or nothing, if it is
# empty) to standard error, and hands the platform the buffer LENGTHS. With
# `locale` and `code_page` set, it runs in that locale, and STDERR is expected
# in that code page, the console's there.
answers() {
  local problems=()
  rm -f "$work/lengths"
  (cd "$work" && LC_ALL=${locale:-C} STANDIN_ANSWERS=$1 "$wine" lsmac.exe >out 2>err)
  local status=$?
  [ "$status" = "$2" ] || problems+=("status $status, expected $2")
  lines $3 >"$work/expected"
  cmp -s "$work/out" "$work/expected" || problems+=("standard output: $(head -c 200 "$work/out" | cat -A)")
  if [ -z "$4" ]; then : >"$work/expected"; else printf '%s\r\n' "$4" | iconv -f UTF-8 -t "${code_page:-ASCII}" >"$work/expected"; fi
  cmp -s "$work/err" "$work/expected" ||
    problems+=("standard error: $(head -c 200 "$work/err" | iconv -f "${code_page:-ASCII}" -t UTF-8 -c | cat -A)")
  [ "$(cat "$work/lengths" 2>/dev/null)" = "$5" ] ||
    problems+=("buffer lengths $(echo $(cat "$work/lengths" 2>/dev/null)), expected $(echo $5)")
  printf '%s\n' "${problems[@]}"
  [ ${#problems[@]} = 0 ]
}

failure="lsmac: cannot list network adapters:"
check "failure status 50" answers e50 1 "" "$failure Request not supported (error 50)" "$(asked)"
check "failure status 87" answers e87 1 "" "$failure Invalid parameter (error 87)" "$(asked)"
# In the user's language, readable where cmd and PowerShell read it.
locale=de_DE.UTF-8 code_page=CP850 check "failure status 87, in German" answers e87 1 "" \
  "$failure Ungültiger Parameter (error 87)" "$(asked)"
locale=ru_RU.UTF-8 code_page=CP866 check "failure status 87, in Russian" answers e87 1 "" \
  "$failure Неверный параметр (error 87)" "$(asked)"
# On a console, through WriteConsoleW: Wine makes a console of a terminal,
# here script's, and shows it the line in the terminal's UTF-8.
on_console() {
  (cd "$work" && LC_ALL=de_DE.UTF-8 STANDIN_ANSWERS=e87 script -qec "'$wine' lsmac.exe >/dev/null 2>/dev/tty" /dev/null) |
    sed 's/\x1b\[[0-9;?]*[A-Za-z]//g' | tr -d '\r'
}
console_says() {
  local line
  line=$(on_console)
  cat -A <<<"$line"
  [ "$line" = "$1" ]
}
check "failure status 87, in German, on a console" console_says "$failure Ungültiger Parameter (error 87)"
check "failure status without a message" answers e3000000 1 "" "$failure error 3000000" "$(asked)"
check "no data" answers 0 0 "" "" "$(asked)"
check "no data after an overflow" answers "$((fit + 1)) 0" 0 "" "" "$(asked $((fit + 1)))"
check "one record" answers 1 0 0 "" "$(asked)"
check "as many as fit ($fit)" answers $fit 0 "$(seq 0 $((fit - 1)))" "" "$(asked)"
check "one more than fits" answers $((fit + 1)) 0 "$(seq 0 $fit)" "" "$(asked $((fit + 1)))"
check "grows between queries" answers "$((fit + 1)) $((fit + 3))" 0 "$(seq 0 $((fit + 2)))" "" \
  "$(asked $((fit + 1)) $((fit + 3)))"
check "never stops growing" answers "$(seq -s ' ' $((fit + 1)) $((fit + 9)))" 1 "" \
  "$failure the adapter list kept growing" "$(asked $((fit + 1)) $((fit + 2)) $((fit + 3)))"
# More than a 32-bit process can have.
[ "$record" != 640 ] || check "no memory for the list" answers 6700000 1 "" "$failure out of memory" "$(asked)"
check "chain out of buffer order" answers 5r 0 "0 4 3 2 1" "" "$(asked)"
check "address length 3" answers 2s 0 "0 1" "" "$(asked)"
finish
