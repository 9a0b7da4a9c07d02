#!/usr/bin/env bash
# Keeps tests/kernel/platform_names.cpp in step with the host declarations: every routine, macro,
# type and enumerator that platform/host/*.h declares for driver code must be used there (outside
# comments), so the kernel build is shown to offer it too, or be listed as host-only.
#
#   check-platform-names.sh HOST_DIR USES_FILE HOST_ONLY_LIST
#
# Prints the names that are neither used nor listed, and exits non-zero if there are any.
set -u

if [[ $# -ne 3 ]]; then
    echo "usage: $0 HOST_DIR USES_FILE HOST_ONLY_LIST" >&2
    exit 2
fi
host=$1
uses=$2
host_only=$3
for file in "$uses" "$host_only"; do
    if [[ ! -r $file ]]; then
        echo "FAIL: cannot read $file"
        exit 1
    fi
done
shopt -s nullglob
headers=("$host"/*.h)
if ((${#headers[@]} == 0)); then
    echo "FAIL: no headers in $host"
    exit 1
fi

# The names the host headers declare, comments removed first.
declared=$(sed -e 's://.*$::' "${headers[@]}" | awk '
    function emit(name) { if (name ~ /^[A-Za-z_][A-Za-z0-9_]*$/) print name }
    # Routines and function-pointer types: "NTAPI Name(" or "(NTAPI* Name)(".
    {
        line = $0
        while (match(line, /NTAPI[ \t]*\*?[ \t]*[A-Za-z_][A-Za-z0-9_]*/)) {
            name = substr(line, RSTART, RLENGTH)
            sub(/^NTAPI[ \t]*\*?[ \t]*/, "", name)
            emit(name)
            line = substr(line, RSTART + RLENGTH)
        }
    }
    # Inline helpers: "inline <type> Name(".
    /^inline[ \t]/ {
        head = $0
        sub(/\(.*/, "", head)
        n = split(head, words, /[ \t*&]+/)
        emit(words[n])
    }
    /^#define[ \t]/ { emit($2) }
    /^using[ \t]/ { emit($2) }
    # typedef names: "} NAME, *PNAME;" or "typedef <type> NAME;".
    /}[ \t]*[A-Za-z_][^;]*;/ {
        tail = $0
        sub(/.*}[ \t]*/, "", tail)
        sub(/;.*/, "", tail)
        gsub(/\*/, "", tail)
        n = split(tail, names, /[ \t]*,[ \t]*/)
        for (i = 1; i <= n; i++) emit(names[i])
    }
    /^typedef[ \t]/ && !/[{(]/ {
        tail = $0
        sub(/;.*/, "", tail)
        n = split(tail, words, /[ \t*]+/)
        emit(words[n])
    }
    # Enumerators, in one-line and multi-line enums.
    /enum/ && /{/ { in_enum = 1 }
    in_enum {
        body = $0
        sub(/.*{/, "", body)
        sub(/}.*/, "", body)
        n = split(body, items, ",")
        for (i = 1; i <= n; i++) {
            item = items[i]
            sub(/=.*/, "", item)
            gsub(/[ \t]/, "", item)
            emit(item)
        }
        if ($0 ~ /}/) in_enum = 0
    }
' | sort -u)

used=$(sed -e 's://.*$::' "$uses" | grep -oE '[A-Za-z_][A-Za-z0-9_]*' | sort -u)
listed=$(sed -e 's/#.*//' "$host_only" | awk 'NF { print $1 }' | sort -u)

missing=$(comm -23 <(comm -23 <(echo "$declared") <(echo "$used")) <(echo "$listed"))
if [[ -n $missing ]]; then
    echo "FAIL: platform/host declares names for driver code that $uses does not use:"
    sed 's/^/  /' <<<"$missing"
    echo "Use each there the way driver code would (so the kernel build is shown to offer it, and"
    echo "its routines are checked against the allowlist), or list it in $host_only if driver"
    echo "code must not use it."
    exit 1
fi
echo "ok:   all $(wc -l <<<"$declared") names of $host are used in $uses or listed as host-only"
