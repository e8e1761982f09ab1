#!/usr/bin/env bash
# Fails when a file includes a project header from a layer above its own. Each rule: the folder
# of the including files and the project folders they must not include from.
set -u
cd "$(dirname "$0")/.."
status=0
rule() {
    local from=$1; shift
    local pattern
    pattern=$(printf '%s|' "$@")
    pattern=${pattern%|}
    local hits
    # The host-callback contract is the one header the service and the field-bus library share
    # (decisions FB-1).
    hits=$(grep -rnE "^[[:space:]]*#[[:space:]]*include[[:space:]]*\"(${pattern})/" "$from" \
               --include='*.h' --include='*.cpp' 2>/dev/null | grep -v '"fieldbus/core/HostApi\.h"')
    if [ -n "$hits" ]; then
        echo "include rule: $from must not include from $*:"
        echo "$hits" | sed 's/^/    /'
        status=1
    fi
}
rule platform service fieldbus client tools tests bench fuzz
rule service/typelib service/core service/drivers service/host fieldbus client tools tests
rule service/core service/drivers service/host fieldbus client tools tests
# Inside the service core each folder holds one concern and may include only from the folders
# before it in this order (decisions CORE-66): logs, base, commands, items, posts, ports,
# controllers. So the item tree includes nothing of ports, and the ports nothing of the
# controllers that run on them.
rule service/core/logs service/core/base service/core/commands service/core/items service/core/posts service/core/ports service/core/controllers
rule service/core/base service/core/commands service/core/items service/core/posts service/core/ports service/core/controllers
rule service/core/commands service/core/items service/core/posts service/core/ports service/core/controllers
rule service/core/items service/core/posts service/core/ports service/core/controllers
rule service/core/posts service/core/ports service/core/controllers
rule service/core/ports service/core/controllers
rule service/drivers service/host fieldbus client tools tests
rule service/host client tools tests
rule fieldbus service/core service/drivers service/host client tools tests
rule client service/core service/drivers service/host fieldbus tools
rule tools/zrnsim service/core service/drivers service/host fieldbus tests
rule tools/units service/core service/drivers service/host fieldbus client tests
# Fails when a unit (a header with its source) lies on an include loop, however many steps long:
# an owner knows what it owns, and what is owned reaches back only through an interface declared
# on its own side or below it (the field-bus library's top units hand what they need down as
# BusContext). Every unit of the product and its tools is checked (decisions BUILD-16).
no_circle() {
    local hits
    hits=$(grep -rnE '^[[:space:]]*#[[:space:]]*include[[:space:]]*"[^"]+"' \
               platform service fieldbus client tools --include='*.h' --include='*.cpp' \
               2>/dev/null |
           sed -E 's/^([^:]+):[0-9]+:[^"]*"([^"]+)".*/\1 \2/' |
           awk -v anchors="$*" '
        function unit(p) { sub(/\.(h|cpp)$/, "", p); return p }
        {
            a = unit($1); b = unit($2)
            if (a == b || (a SUBSEP b) in how) next
            how[a, b] = $1 " includes " $2
            out[a] = out[a] " " b
        }
        END {
            n = split(anchors, list, " ")
            for (i = 1; i <= n; i++) {
                start = list[i]
                split("", seen); split("", from)
                head = 1; tail = 1; queue[1] = start; seen[start] = 1; last = ""
                while (head <= tail && last == "") {
                    u = queue[head++]
                    m = split(out[u], succ, " ")
                    for (j = 1; j <= m; j++) {
                        v = succ[j]
                        if (v == start) { last = u; break }
                        if (!(v in seen)) { seen[v] = 1; from[v] = u; queue[++tail] = v }
                    }
                }
                if (last == "") continue
                steps = how[last, start]
                for (u = last; u != start; u = from[u]) steps = how[from[u], u] "\n" steps
                print "include circle through " start ":"
                print steps
            }
        }')
    if [ -n "$hits" ]; then
        echo "$hits" | sed '/^include circle/!s/^/    /'
        status=1
    fi
}
no_circle $(find platform service fieldbus client tools -name '*.h' -o -name '*.cpp' |
    sed -E 's/\.(h|cpp)$//' | sort -u)
# The field-bus byte lines know no protocol: they include none of the protocols' headers
# (decisions FB-68).
lines_know_no_protocol() {
    local hits
    hits=$(grep -nE '^[[:space:]]*#[[:space:]]*include[[:space:]]*"fieldbus/(devices/|core/(Modbus|LocalModbus|PortModbus|Convel|Icpcon|PortThread|Device|ComDevice))' \
               fieldbus/core/ByteLine.h fieldbus/core/ByteLine.cpp fieldbus/core/EmulatedLine.h \
               fieldbus/core/EmulatedLine.cpp 2>/dev/null)
    if [ -n "$hits" ]; then
        echo "include rule: the byte lines must not include a protocol header:"
        echo "$hits" | sed 's/^/    /'
        status=1
    fi
}
lines_know_no_protocol
exit $status
