# The rows of the system tests' tables: one line each, columns parted by
# "|", the first the row's name, the last its tags. Sourced.
#
# Tags name what a row needs beyond what its script needs; "-" is none.
# Build tags, which the build under test has or lacks (its script says
# which, from its environment):
#   signed      the build trusts a signing key: updates need a signature
#   second-key  it also trusts the test key named "second"
#   digest-only it takes a signature of the digest alone (keys only: no
#               compatible string, no rollback protection)
#   compatible  its compatible string is test-board
#   rollback    it has rollback protection
#   unsigned    the build takes any file as an update, without a signature
#               (no image check)
#   squashfs    it takes only whole squashfs images (and no signature)
#   trial       the build has trial boots
#   confirmed   it has none: an installed image is in place at once
#   copy        it installs by copies (the default)
#   rename      it installs by renames (the update written once)
#   events      it keeps the event log
#   large       the tool is a 32-bit program (the ARMv6 builds), where files
#               of 2 GiB and more need 64-bit offsets
# A row is left out, silently, where the build lacks one of them. Host tags,
# which this machine has or lacks:
#   strace    strace is installed
#   ext4      mkfs.ext4 is installed and a loop device is free
# A row is skipped, and says so, where the machine lacks one of them; with
# CI=true, where every test must run, that row fails instead.
# shellcheck shell=bash

readonly build_tags='signed second-key digest-only compatible rollback unsigned squashfs trial confirmed copy rename events large'
readonly host_tags='strace ext4'

# Describes the build under test, TOOL, from the version string it carries
# (src/version.cpp.in names every option) and its ELF class, and exports
# what the tables and their rows need of it:
#   BUILD_TAGS           its build tags (above)
#   SCENARIO_TRUSTED     the names of the test keys it trusts, in order
#   SCENARIO_COMPATIBLE  its compatible string
#   SCENARIO_ROLLBACK    1 with rollback protection
#   SCENARIO_TRIAL       its number of trial boots (empty without)
#   SCENARIO_IMAGE_CHECK 1 with the squashfs check
#   BOOT_IMAGE           its kestran-boot-image (TOOL-boot-image beside it,
#                        else the source's)
#   BEFORE_SIGNATURE     1 where the signed rows cannot run (below)
# SCENARIO_KEYS, when set, is a directory of test keys, NAME.pub and
# NAME.sec: a build's signed rows sign with test.sec and second.sec there.
# They run where the build trusts at most these two keys (found by their
# numbers), with the compatible string test-board or none, and no image
# check; a build signed otherwise (a device maker's keys, whose secret keys
# are elsewhere), or with the image check and trial boots (the trial rows
# update with files that are not squashfs images), runs as an unsigned build
# the rows that end before any signature is looked at (scenarios.sh), and
# unsets SCENARIO_KEYS.
describe_build() {
    local tool=$1 version number name file found
    version=$(grep -a -o -m 1 'init-updater [0-9][^[:cntrl:]]*' "$tool") ||
        fail "no version string in $tool"
    export SCENARIO_TRUSTED='' SCENARIO_COMPATIBLE='' SCENARIO_ROLLBACK='' SCENARIO_TRIAL=''
    export SCENARIO_IMAGE_CHECK='' BEFORE_SIGNATURE='' BUILD_TAGS=''
    local compatible='compatible ([^;)]*)' trial='trial boots ([0-9]+)' keys='signed updates, keys? ([0-9a-f ]+)'
    [[ ! $version =~ $compatible ]] || SCENARIO_COMPATIBLE=${BASH_REMATCH[1]}
    [[ $version != *"rollback protection"* ]] || SCENARIO_ROLLBACK=1
    [[ ! $version =~ $trial ]] || SCENARIO_TRIAL=${BASH_REMATCH[1]}
    [[ $version != *"image check squashfs"* ]] || SCENARIO_IMAGE_CHECK=1
    if [[ $version =~ $keys ]]; then
        local whole=${SCENARIO_KEYS:+1}
        [[ -z $SCENARIO_IMAGE_CHECK && ${SCENARIO_COMPATIBLE:-test-board} == test-board ]] || whole=
        for number in ${BASH_REMATCH[1]}; do
            found=
            for name in test second; do
                file=${SCENARIO_KEYS:-/nonexistent}/$name.pub
                [[ -f $file && -f ${file%.pub}.sec ]] || continue
                [[ $(sed -n 2p "$file" | base64 -d | od -An -tx1 -j2 -N8 | tr -d ' \n') == "$number" ]] &&
                    found=$name
            done
            [[ -n $found ]] || whole=
            SCENARIO_TRUSTED+="${SCENARIO_TRUSTED:+ }$found"
        done
        if [[ -n $whole ]]; then
            BUILD_TAGS=signed
            [[ " $SCENARIO_TRUSTED " != *" second "* ]] || BUILD_TAGS+=" second-key"
            [[ -n $SCENARIO_COMPATIBLE$SCENARIO_ROLLBACK ]] || BUILD_TAGS+=" digest-only"
            [[ -z $SCENARIO_COMPATIBLE ]] || BUILD_TAGS+=" compatible"
            [[ -z $SCENARIO_ROLLBACK ]] || BUILD_TAGS+=" rollback"
        else
            BEFORE_SIGNATURE=1
            unset SCENARIO_KEYS
        fi
    fi
    [[ -z $SCENARIO_IMAGE_CHECK || -z $SCENARIO_TRIAL ]] || BEFORE_SIGNATURE=1
    if [[ -n $SCENARIO_IMAGE_CHECK ]]; then
        BUILD_TAGS=squashfs
    elif [[ -z $BUILD_TAGS$BEFORE_SIGNATURE ]]; then
        BUILD_TAGS=unsigned
    fi
    if [[ -n $SCENARIO_TRIAL ]]; then BUILD_TAGS+=" trial"; else BUILD_TAGS+=" confirmed"; fi
    if [[ $version == *"install rename"* ]]; then BUILD_TAGS+=" rename"; else BUILD_TAGS+=" copy"; fi
    [[ $version != *"event log"* ]] || BUILD_TAGS+=" events"
    # (The fifth byte of an ELF file is its class: 1 for 32-bit.)
    [[ $(od -An -tu1 -j4 -N1 "$tool" | tr -d ' ') != 1 ]] || BUILD_TAGS+=" large"
    BOOT_IMAGE=$(dirname "${BASH_SOURCE[0]}")/../../../dist/sbin/kestran-boot-image
    [[ ! -f $tool-boot-image ]] || BOOT_IMAGE=$tool-boot-image
    BOOT_IMAGE=$(readlink -f "$BOOT_IMAGE")
    export BOOT_IMAGE
}

# Sets the variables named after ROW, one per column in order, to the
# columns of ROW without their surrounding blanks; fails when ROW has
# another number of columns.
read_row() {
    local _row=$1 _i=0 _name _value
    shift
    local -a _columns
    IFS='|' read -r -a _columns <<<"$_row"
    ((${#_columns[@]} == $#)) || fail "${#_columns[@]} columns, expected $# ($*): $_row"
    for _name in "$@"; do
        _value=${_columns[_i]}
        _value=${_value#"${_value%%[![:space:]]*}"}
        _value=${_value%"${_value##*[![:space:]]}"}
        printf -v "$_name" '%s' "$_value"
        _i=$((_i + 1))
    done
}

# True when this machine has host tag TAG.
has_host_tag() {
    case $1 in
    strace) command -v strace >/dev/null ;;
    ext4) command -v mkfs.ext4 >/dev/null && losetup -f >/dev/null 2>&1 ;;
    *) return 1 ;;
    esac
}

# Whether a row with TAGS runs on a build with the build tags HAVE: returns
# 0 when it runs, 1 when the build lacks one of its build tags, 2 when this
# machine lacks one of its host tags, printed; 3 for an unknown tag, printed.
row_runs() {
    local tags=$1 have=$2 tag status=0 missing=''
    for tag in $tags; do
        [[ $tag == - || " $build_tags $host_tags " == *" $tag "* ]] || {
            echo "$tag"
            return 3
        }
        [[ " $build_tags " != *" $tag "* || " $have " == *" $tag "* ]] || status=1
        [[ -n $missing || " $host_tags " != *" $tag "* ]] || has_host_tag "$tag" || missing=$tag
    done
    ((status == 1)) || [[ -z $missing ]] || {
        echo "$missing"
        return 2
    }
    return "$status"
}

# True when the tags TAGS include one of WANTED.
has_a_tag() {
    local tag
    for tag in $1; do
        [[ " $2 " != *" $tag "* ]] || return 0
    done
    return 1
}

# Runs each row of TABLE whose tags a build with the build tags HAVE meets
# (and, with ROWS_TAGGED set, that has one of the tags it names: a variant's
# rows where only its options' code is in question) and whose name is among
# ONLY (any name when ONLY is empty), as
# `bash SCRIPT --one ARGS...` in a private mount namespace of its own with
# the row in $ROW. Prints a line "ok", "FAIL" or "skip" with the row's name
# and LABEL for each, and adds to the caller's passed, failed, skipped and
# left_out (rows the build's tags leave out) and not_tagged (rows without a
# tag of ROWS_TAGGED), each listed as "left out" when LIST_LEFT_OUT=1. A name in ONLY that no row has fails, named.
run_rows() {
    local script=$1 rows=$2 have=$3 only=$4 label=$5 row name tags missing status seen=" "
    shift 5
    only=${only//[$'\n\t']/ } # (names parted by any blanks)
    for name in ${ROWS_TAGGED:-}; do
        [[ " $build_tags " == *" $name "* ]] || fail "ROWS_TAGGED: unknown tag '$name' (tags are: $build_tags)"
    done
    while IFS= read -r row; do
        [[ -n ${row// /} ]] || continue
        name=${row%%|*} tags=${row##*|}
        read -r name <<<"$name"
        seen+="$name "
        [[ -z $only || " $only " == *" $name "* ]] || continue
        status=0
        missing=$(row_runs "$tags" "$have") || status=$?
        if ((status == 1)); then
            left_out=$((${left_out:-0} + 1))
            [[ ${LIST_LEFT_OUT:-} != 1 ]] || echo "left out $name$label: tags$tags, the build has $have"
            continue
        fi
        if ((status != 3)) && [[ -n ${ROWS_TAGGED:-} ]] && ! has_a_tag "$tags" "$ROWS_TAGGED"; then
            not_tagged=$((${not_tagged:-0} + 1))
            [[ ${LIST_LEFT_OUT:-} != 1 ]] || echo "left out $name$label: tags$tags, none of $ROWS_TAGGED"
            continue
        fi
        if ((status == 2)) && [[ ${CI:-} == true ]]; then
            echo "FAIL $name$label: this machine lacks $missing"
            failed=$((failed + 1))
        elif ((status == 2)); then
            echo "skip $name$label: this machine lacks $missing"
            skipped=$((skipped + 1))
        elif ((status != 0)); then
            fail "row $name: unknown tag '$missing' (tags are: $build_tags $host_tags)"
        elif ROW=$row unshare --mount --propagation private bash "$script" --one "$@"; then
            echo "ok   $name$label"
            passed=$((passed + 1))
        else
            echo "FAIL $name$label"
            failed=$((failed + 1))
        fi
    done <<<"$rows"
    for name in $only; do
        [[ $seen == *" $name "* ]] && continue
        echo "FAIL $name$label: no such row"
        failed=$((failed + 1))
    done
}

# Prints the closing line of TITLE's table from the caller's counts, and
# fails when a row failed or none ran.
close_table() {
    echo "$1: $passed passed, $failed failed, ${skipped:-0} skipped, ${left_out:-0} left out for the build's tags${not_tagged:+, $not_tagged without any of the tags $ROWS_TAGGED}"
    ((passed + failed + ${skipped:-0} > 0)) || echo "FAIL $1: no row ran"
    ((failed == 0 && passed > 0))
}
