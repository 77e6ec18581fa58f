#!/bin/sh
# Runs one file of browser tests with Node's test runner: run.sh FILE.
# Exit status 77 (CTest's skip) when node, the browser or tests/web's
# node_modules are missing, unless CI is set (CI=true): there they must be there
# (scripts/bootstrap.sh installs them), and their absence fails.
here=$(dirname "$0")
browser=${CHROMIUM:-/usr/bin/chromium}
missing=""
command -v node >/dev/null 2>&1 || missing="$missing node"
[ -x "$browser" ] || missing="$missing $browser"
[ -d "$here/node_modules/playwright-core" ] || missing="$missing $here/node_modules (npm ci)"
if [ -n "$missing" ]; then
  echo "web tests: missing:$missing; scripts/bootstrap.sh installs them"
  case "${CI:-}" in
    "" | false | 0) exit 77 ;;
    *) exit 1 ;;
  esac
fi
exec node --test --test-reporter=spec "$1"
