#!/usr/bin/env bash
# Renders each manual page with man's warnings on (MANWIDTH=80) and fails on
# any warning; checks that its NAME line is one whatis/apropos can index.
# Usage: check_man_pages.sh PAGE...
# Exit status 77 (a skip for CTest) when man or lexgrog is missing.
set -uo pipefail
for tool in man lexgrog; do
  if ! command -v "$tool" >/dev/null; then
    echo "SKIP: $tool is missing (install man-db: scripts/setup); the manual pages cannot be rendered"
    exit 77
  fi
done
failures=0
for page in "$@"; do
  if [ ! -s "$page" ]; then
    echo "FAIL: $page is missing or empty"
    failures=$((failures + 1))
    continue
  fi
  # man writes troff's warnings on standard error; the page itself is dropped.
  warnings=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
  if [ -n "$warnings" ]; then
    echo "FAIL: $page renders with warnings:"
    echo "$warnings"
    failures=$((failures + 1))
  fi
  # "kestrel (1) - recover text messages ..." for whatis and apropos.
  name=$(basename "$page")
  name=${name%%.1*}
  if ! lexgrog "$page" | grep -q "\"$name - "; then
    echo "FAIL: $page: its NAME section cannot be indexed by mandb: $(lexgrog "$page" 2>&1)"
    failures=$((failures + 1))
  fi
done
[ "$failures" -eq 0 ] || exit 1
echo "$# manual pages render without warnings"
