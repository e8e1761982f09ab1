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
    # The host-callback contract is the one header the service and the field-bus library share.
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
rule service/drivers service/host fieldbus client tools tests
rule service/host client tools tests
rule fieldbus service/core service/drivers service/host client tools tests
rule client service/core service/drivers service/host fieldbus tools
rule tools/zrnsim service/core service/drivers service/host fieldbus tests
exit $status
