# Sourced by every test script, with the name its closing line gives:
#
#   . "$(dirname "$0")/lib/harness.sh" GROUP
#
# check NAME COMMAND...    ok when COMMAND succeeds; otherwise "not ok", with
#                          the tail of what COMMAND printed
# refused NAME COMMAND...  the same for a COMMAND that must fail
# skip REASON              the group cannot run here: says why and exits 77
#                          (ctest's skip), or 1 under CI=true, where every
#                          test must run
# finish                   "GROUP: N passed, M failed", and the script's status
# $work                    a scratch folder, removed on exit after the
#                          commands given to on_exit
# $project, $version       the source tree, and the version it builds
group=$1
project=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
version=$(sed -n 's/^project(lsmac VERSION \([0-9.]*\).*/\1/p' "$project/CMakeLists.txt")
passed=0 failed=0
exit_commands=()
on_exit() { exit_commands+=("$1"); }
leave() {
  local exit_command
  for exit_command in "${exit_commands[@]}"; do eval "$exit_command"; done
  rm -rf "$work"
}
work=$(mktemp -d)
trap leave EXIT

# Its own names are unlikely ones: the command sees them, as bash's functions
# see their callers' locals.
check() {
  local check_name=$1
  shift
  if "$@" >"$work/.check.log" 2>&1; then
    echo "ok - $check_name"
    passed=$((passed + 1))
  else
    echo "not ok - $check_name"
    tail -n 20 "$work/.check.log" | sed 's/^/  /'
    failed=$((failed + 1))
    return 1
  fi
}
fails() { ! "$@"; }
refused() { check "$1 is refused" fails "${@:2}"; }

skip() {
  echo "$group: skipped, $1"
  [ "${CI:-}" != true ] || { echo "$group: a test may not skip in CI"; exit 1; }
  exit 77
}

finish() {
  echo "$group: $passed passed, $failed failed"
  [ "$failed" = 0 ]
}
