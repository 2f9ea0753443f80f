#!/bin/sh
# Fails when a file of the simulator includes a header of the library other than the platform
# layer: a quoted include that names a file under src/ (directly, or relative to the including
# file) outside src/platform.
# Usage: check_includes.sh PROJECT_SOURCE_DIR
root=$(cd "${1:?usage: $0 PROJECT_SOURCE_DIR}" && pwd -P) || exit 2
status=0
found=$(grep -rnE '^[[:space:]]*#[[:space:]]*include[[:space:]]*["<][^">]+[">]' "$root/sim" \
    --include='*.h' --include='*.hpp' --include='*.c' --include='*.cpp') || true
printf '%s\n' "$found" | while IFS= read -r line; do
    [ -n "$line" ] || continue
    file=${line%%:*}
    header=$(printf '%s\n' "$line" | sed -E 's/^[^#]*#[[:space:]]*include[[:space:]]*["<]([^">]+)[">].*/\1/')
    for candidate in "$root/src/$header" "$(dirname "$file")/$header"; do
        [ -e "$candidate" ] || continue
        resolved=$(cd "$(dirname "$candidate")" && pwd -P)/$(basename "$candidate")
        case "$resolved" in
            "$root/src/platform/"*) ;;
            "$root/src/"*)
                echo "${line%%:*}: includes $header of the library" >&2
                exit 1
                ;;
        esac
    done
done || status=1
exit $status
