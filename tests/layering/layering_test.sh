#!/bin/sh
# The include layers: the tree as it stands passes, and each broken arrow
# below, planted in a copy of the tree, is caught.
#   layering_test.sh SOURCE_ROOT
root=$1
check=$root/tools/check_layers.sh
"$check" "$root" || { echo "FAIL: the tree itself breaks the layers"; exit 1; }

work=$(mktemp -d) || exit 2
trap 'rm -rf "$work"' EXIT
failures=0

# file to change | line to add | what the report must name
while IFS='|' read -r file line expect; do
    [ -z "$file" ] && continue
    rm -rf "$work/tree" && mkdir "$work/tree"
    (cd "$root" && cp -R platform text bridge automation registration server tools "$work/tree/")
    if [ "$file" = "tools/layers.txt" ]; then
        sed -i "$line" "$work/tree/$file"
    else
        printf '%s\n' "$line" >> "$work/tree/$file"
    fi
    if out=$("$check" "$work/tree" 2>&1); then
        echo "FAIL: not caught: $file + $line"; failures=$((failures + 1))
    elif ! printf '%s\n' "$out" | grep -q "$expect"; then
        echo "FAIL: $file + $line: report does not name \"$expect\":"; echo "$out"; failures=$((failures + 1))
    else
        echo "caught: $file + $line"
    fi
done <<'ROWS'
automation/dispatch.cpp|#include "server/class_factory.h"|automation includes server
registration/driver.cpp|#include "server/entry_points.h"|registration includes server
server/module.cpp|#include "registration/replacements.h"|module includes registration
bridge/invoker.h|#include "automation/dispatch.h"|bridge includes automation
text/code_page.cpp|#include "bridge/invoker.h"|text includes bridge
platform/owners.h|#include "text/errors.h"|platform includes text
platform/platform.h|#include "tarnwick_h.h"|platform includes interface
automation/type_info.cpp|#include "tests/support/platform_override.h"|not part of the library
tools/layers.txt|s/^text *text\/ *platform$/text text\/ platform,bridge/|names bridge, which is not below it
ROWS

[ $failures -eq 0 ] && echo "layering: all broken arrows caught"
exit $failures
