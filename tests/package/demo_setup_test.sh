#!/usr/bin/env bash
# scripts/demo's setup on a fresh machine installs no browser: nothing in what apt would pull in
# for `scripts/setup --demo` (dependencies and recommendations, followed all the way) is one, while
# the full setup (the web page's test) does bring one.
#   demo_setup_test.sh SOURCE_DIR
set -euo pipefail
src=$1
command -v apt-cache >/dev/null || { echo "demo_setup_test: no apt-cache"; exit 77; }
closure() {
  # shellcheck disable=SC2046
  apt-cache depends --recurse --no-suggests --no-conflicts --no-breaks --no-replaces \
    --no-enhances $(bash "$src/scripts/setup" --list "$@") 2>/dev/null | grep -E '^[a-z0-9]' | sort -u
}
browsers='^(chromium|chromium-driver|firefox|firefox-esr|epiphany-browser)$'
demo=$(closure --demo)
[ -n "$demo" ] || { echo "demo_setup_test: apt-cache knows none of the demo's packages"; exit 1; }
if grep -E "$browsers" <<<"$demo"; then
  echo "demo_setup_test: scripts/setup --demo would install the browser above" >&2
  exit 1
fi
grep -q 'scripts/setup --demo' "$src/scripts/demo" \
  || { echo "demo_setup_test: scripts/demo does not use setup --demo" >&2; exit 1; }
full=$(closure)
grep -qE "$browsers" <<<"$full" || { echo "demo_setup_test: the full setup brings no browser?" >&2; exit 1; }
echo "demo_setup_test: $(wc -l <<<"$demo") packages for the demo, no browser among them"
