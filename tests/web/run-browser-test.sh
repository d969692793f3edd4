#!/usr/bin/env bash
# Runs the page's browser tests when Debian's Chromium, its driver and
# Selenium are installed (scripts/install-deps.sh installs them); 77 = skipped.
set -u
for need in /usr/bin/chromium /usr/bin/chromedriver; do
    [ -x "$need" ] || { echo "skipped: $need is not installed"; exit 77; }
done
/usr/bin/python3 -c 'import selenium' 2>/dev/null || { echo "skipped: python3-selenium is not installed"; exit 77; }
exec /usr/bin/python3 "$(dirname "$0")/browser_test.py" "$@"
