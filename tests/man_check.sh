#!/bin/sh
# The manual pages in folder $1: groff finds nothing to warn of in any, man renders each, and
# every option the simulator's help ($2 --help) names is in its page.
set -eu
dir=$1
for page in "$dir"/*.1; do
    warnings=$(groff -man -ww -z "$page" 2>&1)
    [ -z "$warnings" ] || { echo "$page: $warnings"; exit 1; }
    MANWIDTH=80 man -l "$page" 2>&1 | grep -q '^NAME' || { echo "$page does not render"; exit 1; }
done
for option in $("$2" --help | grep -o -- '--[a-z-]*' | sort -u); do
    grep -q -- "\*$option\*" "$dir/pelorix-sim.1.scd" || { echo "pelorix-sim.1 lacks $option"; exit 1; }
done
echo "manual pages: $(ls "$dir"/*.1 | wc -l) clean"
