#!/usr/bin/env bash
# Fails when the DLL's file is larger than the limit given in bytes.
set -euo pipefail
dll=$1
limit=$2
size=$(stat -c %s "$dll")
if [ "$size" -gt "$limit" ]; then
    echo "$(basename "$dll") is $size bytes, over the limit of $limit"
    exit 1
fi
echo "$(basename "$dll") is $size bytes (limit $limit)"
