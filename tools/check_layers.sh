#!/bin/sh
# Checks every quoted #include of the library's sources against the layers in
# tools/layers.txt: a file may include its own layer and the layers its line
# names, nothing else; a layer may name only layers above it in the file, so
# no circle can form. Prints each offending include; exits 1 if there is one.
#   check_layers.sh [SOURCE_ROOT] [LAYERS_FILE]
root=${1:-$(dirname "$0")/..}
layers=${2:-$root/tools/layers.txt}
layers=$(cd "$(dirname "$layers")" && pwd)/$(basename "$layers")
cd "$root" || exit 2
find platform text bridge automation registration server -type f \( -name '*.h' -o -name '*.cpp' \) 2>/dev/null |
    sort | xargs grep -H -n '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' /dev/null |
    awk -v layers="$layers" '
    BEGIN {
        n = 0
        while ((getline line < layers) > 0) {
            if (line ~ /^[[:space:]]*(#|$)/) continue
            split(line, f, /[[:space:]]+/)
            name = f[1]; order[name] = ++n
            np = split(f[2], paths, ",")
            for (i = 1; i <= np; i++) { prefix[paths[i]] = name }
            if (f[3] != "-") {
                na = split(f[3], allowed, ",")
                for (i = 1; i <= na; i++) {
                    may[name, allowed[i]] = 1
                    if (allowed[i] != "interface" && !(allowed[i] in order)) {
                        printf "%s: layer %s names %s, which is not below it\n", layers, name, allowed[i]
                        bad = 1
                    }
                }
            }
        }
        if (n == 0) { print "no layers read from " layers; exit 2 }
    }
    function layer_of(path,    p, best, len) {
        best = ""; len = 0
        for (p in prefix)
            if (index(path, p) == 1 && length(p) > len) { best = prefix[p]; len = length(p) }
        return best
    }
    {
        file = $0; sub(/:.*/, "", file)
        lineno = $0; sub(/^[^:]*:/, "", lineno); sub(/:.*/, "", lineno)
        target = $0; sub(/^[^"]*"/, "", target); sub(/".*/, "", target)
        from = layer_of(file)
        to = (target == "tarnwick_h.h") ? "interface" : layer_of(target)
        if (to == "") {
            printf "%s:%s: includes \"%s\", which is not part of the library\n", file, lineno, target
            bad = 1
        } else if (to != from && !((from, to) in may)) {
            printf "%s:%s: %s includes %s (\"%s\"), against the layers\n", file, lineno, from, to, target
            bad = 1
        }
    }
    END { if (bad) exit 1 }'
status=$?
[ $status -eq 0 ] && echo "includes follow the layers of $layers"
exit $status
