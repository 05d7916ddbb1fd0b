# How the test command counts a layer's report; sourced by testbed/test and
# by its own cases (tests/tools/count_test.py). A layer's counts are
# "passed failed skipped"; the failures are never negative, and a report
# without its summary (a runner that crashed, was killed or never started)
# counts as a failure, since nothing in it can be shown to have passed.

passed=${passed:-0}; failed=${failed:-0}; skipped=${skipped:-0}

# The last number a pattern finds in a file, or nothing.
last_number() { # pattern, file
  grep -aoE "$1" "$2" 2>/dev/null | grep -oE '[0-9]+$' | tail -1
}

# gtest ends with "[  PASSED  ] N test(s)." and adds "[  FAILED  ] N test(s),
# listed below:" and "[  SKIPPED ] N test(s), listed below:" when it has them.
gtest_counts() { # log file, exit code
  local p f s
  p=$(last_number '^\[  PASSED  \] [0-9]+' "$1")
  f=$(grep -aoE '^\[  FAILED  \] [0-9]+ tests?, listed below' "$1" 2>/dev/null |
    grep -oE '^\[  FAILED  \] [0-9]+' | grep -oE '[0-9]+$' | tail -1)
  s=$(grep -aoE '^\[  SKIPPED \] [0-9]+ tests?, listed below' "$1" 2>/dev/null |
    grep -oE '^\[  SKIPPED \] [0-9]+' | grep -oE '[0-9]+$' | tail -1)
  f=${f:-0}; s=${s:-0}
  # Crashed, stopped by a sanitizer, or never ran.
  if [ -z "$p" ] || [ "$2" -ne 0 ]; then [ "$f" -eq 0 ] && f=1; fi
  echo "${p:-0} $f $s"
}

# node's tap reporter ends with "# pass N", "# fail N", "# cancelled N" and
# "# skipped N". `not counted` is the number of files whose process could not
# be created: each is one failed top-level entry of the report, and the
# caller runs it again and counts that run instead. What it takes away can
# never reach failures of other entries.
tap_counts() { # tap file, exit code[, not counted]
  local p f c s n top
  n=${3:-0}
  p=$(last_number '^# pass [0-9]+' "$1")
  f=$(last_number '^# fail [0-9]+' "$1")
  c=$(last_number '^# cancelled [0-9]+' "$1")
  s=$(last_number '^# skipped [0-9]+' "$1")
  top=$(grep -acE '^not ok [0-9]+ ' "$1" 2>/dev/null); top=${top:-0}
  if [ -n "$p" ] && [ -n "$f" ]; then
    f=$((f + ${c:-0} - n)); s=${s:-0}
    [ $((top - n)) -gt "$f" ] && f=$((top - n))
    [ "$f" -lt 0 ] && f=0
    if [ "$2" -ne 0 ] && [ "$f" -eq 0 ] && [ "$n" -eq 0 ]; then f=1; fi
  else
    # No summary: every failed entry it did report counts, and at least one.
    p=0; f=$((top - n)); [ "$f" -lt 1 ] && f=1
    s=$(grep -acE '^ *ok [0-9]+ .*# SKIP' "$1" 2>/dev/null); s=${s:-0}
  fi
  echo "$p $f $s"
}

add_counts() { # label, passed failed skipped
  echo "$1: $2 passed, $3 failed, $4 skipped"
  passed=$((passed + $2)); failed=$((failed + $3)); skipped=$((skipped + $4))
}

count_gtest() { # label, log file, exit code
  local counts
  read -r -a counts < <(gtest_counts "$2" "$3")
  add_counts "$1" "${counts[@]}"
  if [ "${counts[2]}" -ne 0 ]; then
    # The summary's list: the names alone, without the run's "(N ms)".
    grep -aE '^\[  SKIPPED \] [A-Za-z0-9_/.]+'$'\r''?$' "$2" | tr -d '\r' | sed 's/^\[  SKIPPED \] /  skipped: /'
  fi
  if [ "${counts[1]}" -ne 0 ]; then
    grep -aE '^\[  FAILED  \]|Failure|ERROR|runtime error' "$2" | head -40
  fi
}

count_tap() { # label, tap file, exit code[, not counted]
  local counts
  read -r -a counts < <(tap_counts "$2" "$3" "${4:-0}")
  add_counts "$1" "${counts[@]}"
  if [ "${counts[2]}" -ne 0 ]; then grep -aE '# SKIP' "$2" | sed 's/^ */  skipped: /'; fi
  if [ "${counts[1]}" -ne 0 ]; then grep -aB2 -A25 '^\s*not ok' "$2" | head -150; fi
}

summary_line() {
  echo "$passed passed, $failed failed, $skipped skipped"
}

# A fuzz target prints "accepting branch NAME reached N times" for each branch
# whose oracle runs only on accepted input; a run that never reached one
# checked nothing there, and a run without those lines did not end normally.
fuzz_counts() { # log file, exit code
  local reached unreached
  reached=$(grep -acE '^accepting branch [a-z_]+ reached [0-9]+ times$' "$1" 2>/dev/null)
  unreached=$(grep -acE '^accepting branch [a-z_]+ reached 0 times$' "$1" 2>/dev/null)
  if [ "$2" -eq 0 ] && [ "${reached:-0}" -gt 0 ] && [ "${unreached:-0}" -eq 0 ]; then
    echo "1 0 0"
  else
    echo "0 1 0"
  fi
}

count_fuzz() { # label, log file, exit code
  local counts
  read -r -a counts < <(fuzz_counts "$2" "$3")
  add_counts "$1" "${counts[@]}"
  if [ "${counts[1]}" -ne 0 ]; then
    grep -aE '^accepting branch [a-z_]+ reached 0 times$' "$2" | sed 's/^/  never reached: /'
    tail -30 "$2"
  fi
}

# A case runner of ours ends with "N passed, N failed"; without that line
# it did not finish.
cases_counts() { # log file
  local p f
  read -r p f < <(grep -aoE '^[0-9]+ passed, [0-9]+ failed$' "$1" 2>/dev/null | tail -1 |
    grep -oE '[0-9]+' | tr '\n' ' ')
  echo "${p:-0} ${f:-1} 0"
}

count_cases() { # label, log file
  local counts
  read -r -a counts < <(cases_counts "$2")
  add_counts "$1" "${counts[@]}"
  if [ "${counts[1]}" -ne 0 ]; then grep -a FAILED "$2"; fi
}
