#!/usr/bin/env bash
# Checks install/wdmusb.inf for what Windows 2000 and XP need to install wdmusb.sys as the
# function driver of a USB device.
#
#   check-inf.sh INF
#
# Prints one line per check ("ok:" or "FAIL:") and exits non-zero if any check failed.
set -u

if [[ $# -ne 1 ]]; then
    echo "usage: $0 INF" >&2
    exit 2
fi
inf=$1
if [[ ! -r $inf ]]; then
    echo "FAIL: cannot read $inf"
    exit 1
fi

failures=0
pass() { echo "ok:   $*"; }
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# The INF as "section<TAB>key<TAB>value" lines: comments (";" outside quotes) and blanks dropped,
# section names and keys lower-cased (SetupAPI compares them without case), a section header as
# "section<TAB><TAB>" and a line without "=" with an empty key.
entries=$(tr -d '\r' <"$inf" | awk '
    function trim(s) { gsub(/^[ \t]+|[ \t]+$/, "", s); return s }
    {
        line = ""; quoted = 0
        for (i = 1; i <= length($0); i++) {
            c = substr($0, i, 1)
            if (c == "\"") quoted = !quoted
            if (c == ";" && !quoted) break
            line = line c
        }
        line = trim(line)
        if (line == "") next
        if (line ~ /^\[[^]]+\]$/) {
            section = tolower(trim(substr(line, 2, length(line) - 2)))
            print section "\t\t"
            next
        }
        eq = index(line, "=")
        if (eq) print section "\t" tolower(trim(substr(line, 1, eq - 1))) "\t" trim(substr(line, eq + 1))
        else print section "\t\t" line
    }')

has_section() { awk -F '\t' -v s="${1,,}" '$1 == s { found = 1 } END { exit !found }' <<<"$entries"; }
# All values of KEY in SECTION (KEY empty: the lines without "=").
values() {
    awk -F '\t' -v s="${1,,}" -v k="${2,,}" '$1 == s && $2 == k && $3 != "" { print $3 }' <<<"$entries"
}
value() { values "$1" "$2" | head -n 1; }
unquote() { sed -e 's/^"//' -e 's/"$//' <<<"$1"; }
# The fields of a comma-separated value, trimmed, one per line.
fields() { tr ',' '\n' <<<"$1" | sed -e 's/^[[:space:]]*//' -e 's/[[:space:]]*$//'; }
field_n() { fields "$1" | sed -n "$2p"; }

# --- [Version] ---------------------------------------------------------------------------------
if ! has_section Version; then
    fail "no [Version] section"
fi
signature=$(unquote "$(value Version Signature)")
if [[ ${signature,,} == '$windows nt$' ]]; then
    pass "Signature is \$Windows NT\$"
else
    fail "[Version] Signature is '${signature}', want \"\$Windows NT\$\" (Windows 2000/XP)"
fi
class=$(value Version Class)
class_guid=$(value Version ClassGuid)
if [[ -n $class && $class_guid =~ ^\{[0-9A-Fa-f]{8}(-[0-9A-Fa-f]{4}){3}-[0-9A-Fa-f]{12}\}$ ]]; then
    pass "own setup class $class $class_guid"
else
    fail "[Version] needs Class and ClassGuid ({xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}); have '$class' '$class_guid'"
fi
if [[ -z $(value Version Provider) ]]; then
    fail "[Version] has no Provider"
fi

# --- [ClassInstall32] --------------------------------------------------------------------------
# A new class is created from it on first install; its AddReg section must name the class.
if ! has_section ClassInstall32; then
    fail "no [ClassInstall32] section: Windows cannot create the setup class $class"
else
    class_named=""
    for addreg in $(values ClassInstall32 AddReg | tr ',' ' '); do
        if ! has_section "$addreg"; then
            fail "[ClassInstall32] AddReg names [$addreg], which does not exist"
        elif values "$addreg" "" | grep -qiE '^HKR[[:space:]]*,[[:space:]]*,[[:space:]]*,[[:space:]]*0[[:space:]]*,'; then
            class_named=yes
        fi
    done
    if [[ -n $class_named ]]; then
        pass "[ClassInstall32] creates the class and names it"
    else
        fail "[ClassInstall32] has no AddReg line 'HKR,,,0,<class name>' naming the class"
    fi
fi

# --- Files -------------------------------------------------------------------------------------
if [[ $(value DestinationDirs DefaultDestDir) == 12 ]]; then
    pass "DefaultDestDir=12 (the drivers folder)"
else
    fail "[DestinationDirs] DefaultDestDir is '$(value DestinationDirs DefaultDestDir)', want 12 (system32\\drivers)"
fi
disk=$(field_n "$(value SourceDisksFiles wdmusb.sys)" 1)
if [[ -z $disk ]]; then
    fail "[SourceDisksFiles] does not list wdmusb.sys"
elif [[ -z $(value SourceDisksNames "$disk") ]]; then
    fail "wdmusb.sys is on disk $disk, which [SourceDisksNames] does not describe"
else
    pass "wdmusb.sys is on source disk $disk"
fi

# --- Manufacturer, models, install sections ----------------------------------------------------
models_sections=$(awk -F '\t' '$1 == "manufacturer" && $3 != "" { print $3 }' <<<"$entries")
if [[ -z $models_sections ]]; then
    fail "[Manufacturer] lists no models section"
fi
install_sections=""
while read -r models_entry; do
    [[ -z $models_entry ]] && continue
    models=$(field_n "$models_entry" 1)
    if [[ $(fields "$models_entry" | wc -l) -gt 1 ]]; then
        fail "[Manufacturer] entry '$models_entry' is decorated: Windows 2000 ignores decorations such as NTx86"
    fi
    if ! has_section "$models"; then
        fail "models section [$models] does not exist"
        continue
    fi
    device_lines=$(awk -F '\t' -v s="${models,,}" '$1 == s && $2 != "" { print $3 }' <<<"$entries")
    while read -r device; do
        [[ -z $device ]] && continue
        install=$(field_n "$device" 1)
        hardware_id=$(field_n "$device" 2)
        if [[ ! $hardware_id =~ ^USB\\VID_[0-9A-Fa-f]{4}\&PID_[0-9A-Fa-f]{4}$ ]]; then
            fail "[$models] hardware ID '$hardware_id' is not USB\\VID_xxxx&PID_xxxx"
        else
            pass "[$models] matches $hardware_id with [$install]"
        fi
        install_sections+="$install"$'\n'
    done <<<"$device_lines"
done <<<"$models_sections"

services=""
while read -r install; do
    [[ -z $install ]] && continue
    if ! has_section "$install.NT"; then
        fail "install section [$install.NT] does not exist"
        continue
    fi
    copied=""
    for copy in $(values "$install.NT" CopyFiles | tr ',' ' '); do
        if [[ ${copy,,} == @wdmusb.sys ]] || values "$copy" "" | grep -qix 'wdmusb.sys'; then
            copied=yes
        fi
    done
    if [[ -n $copied ]]; then
        pass "[$install.NT] copies wdmusb.sys"
    else
        fail "[$install.NT] has no CopyFiles that copies wdmusb.sys"
    fi

    if ! has_section "$install.NT.Services"; then
        fail "no [$install.NT.Services] section: the device would have no function driver"
        continue
    fi
    function_driver=""
    while read -r add_service; do
        [[ -z $add_service ]] && continue
        flags=$(field_n "$add_service" 2)
        if [[ $flags =~ ^(0x[0-9A-Fa-f]+|[0-9]+)$ ]] && (((flags) & 2)); then
            function_driver=yes
            services+="$(field_n "$add_service" 3)"$'\n'
        fi
    done <<<"$(values "$install.NT.Services" AddService)"
    if [[ -n $function_driver ]]; then
        pass "[$install.NT.Services] installs the function driver (AddService flag 0x2)"
    else
        fail "[$install.NT.Services] has no AddService=<name>,0x00000002,<section>: no function driver"
    fi
done <<<"$(sort -u <<<"$install_sections")"

# --- Service sections --------------------------------------------------------------------------
while read -r service; do
    [[ -z $service ]] && continue
    if ! has_section "$service"; then
        fail "service section [$service] does not exist"
        continue
    fi
    problems=""
    [[ $(value "$service" ServiceType) == 1 ]] || problems+=" ServiceType must be 1 (kernel driver);"
    [[ $(value "$service" StartType) == 3 ]] || problems+=" StartType must be 3 (demand, started by Plug and Play);"
    [[ $(value "$service" ErrorControl) == 1 ]] || problems+=" ErrorControl must be 1;"
    binary=$(value "$service" ServiceBinary)
    [[ ${binary,,} == '%12%\wdmusb.sys' ]] || problems+=" ServiceBinary must be %12%\\wdmusb.sys;"
    if [[ -n $problems ]]; then
        fail "[$service]:$problems"
    else
        pass "[$service] is a demand-start kernel driver service for %12%\\wdmusb.sys"
    fi
done <<<"$(sort -u <<<"$services")"

# --- Strings -----------------------------------------------------------------------------------
undefined=""
for token in $(grep -oE '%[A-Za-z_][A-Za-z0-9_]*%' <<<"$entries" | sort -u); do
    name=${token//%/}
    if ! awk -F '\t' -v k="${name,,}" '$1 == "strings" && $2 == k { found = 1 } END { exit !found }' <<<"$entries"; then
        undefined+=" $token"
    fi
done
if [[ -n $undefined ]]; then
    fail "strings used but not defined in [Strings]:$undefined"
else
    pass "every %string% is defined in [Strings]"
fi

if ((failures > 0)); then
    echo "$failures check(s) of $inf failed"
    exit 1
fi
echo "all checks of $inf passed"
