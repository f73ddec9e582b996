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
    local tags=$1 have=$2 tag
    for tag in $tags; do
        [[ $tag == - || " $build_tags $host_tags " == *" $tag "* ]] || {
            echo "$tag"
            return 3
        }
    done
    for tag in $tags; do
        [[ " $build_tags " != *" $tag "* || " $have " == *" $tag "* ]] || return 1
    done
    for tag in $tags; do
        [[ " $host_tags " != *" $tag "* ]] || has_host_tag "$tag" || {
            echo "$tag"
            return 2
        }
    done
}

# Runs each row of TABLE whose tags a build with the build tags HAVE meets
# and whose name is among ONLY (any name when ONLY is empty), as
# `bash SCRIPT --one ARGS...` in a private mount namespace of its own with
# the row in $ROW. Prints a line "ok", "FAIL" or "skip" with the row's name
# and LABEL for each, and adds to the caller's passed, failed, skipped and
# left_out (rows the build's tags leave out; each listed as "left out" when
# LIST_LEFT_OUT=1). A name in ONLY that no row has fails, named.
run_rows() {
    local script=$1 rows=$2 have=$3 only=$4 label=$5 row name tags missing status seen=" "
    shift 5
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
    echo "$1: $passed passed, $failed failed, ${skipped:-0} skipped, ${left_out:-0} left out for the build's tags"
    ((passed + failed + ${skipped:-0} > 0)) || echo "FAIL $1: no row ran"
    ((failed == 0 && passed > 0))
}
