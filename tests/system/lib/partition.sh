# What the image partition and the stick hold, in the one notation of the
# system tests' tables. Sourced; the tables write four paths in this order:
#
#   current image    /mnt/imgpart/kestran_current.sqsh
#   fallback image   /mnt/imgpart/kestran_fallback.sqsh
#   update file      /mnt/usb/kestran.fir
#   install marker   /mnt/imgpart/kestran_install.incomplete
#
# e.g. "A O B -". The three files:
#   X   (a capital letter) a file holding exactly payload X: random bytes of
#       a size the row gives (make_payloads), kept in /mnt/ref/X; a payload
#       of size 0 (E=0 by custom) is an empty file; of size "sqfs", a
#       squashfs image of a random 64 KiB file (mksquashfs); of a size with
#       "s" after it ("2049ms"), a sparse file of that size whose first 64 KiB
#       are random
#   X<  a file holding a strict prefix of X (a copy cut short); placed, the
#       first half of X
#   X~  a file of X's size holding other bytes
#   -   nothing            /  a directory      p  a FIFO
#   c   a character device (as /dev/zero)      z  a symbolic link to /dev/zero
#   d   a dangling link    l  a link loop      f  a link to the fallback image
#   k   a link to the current image            h  the current image under a
#                                                 second name (a hard link)
# The marker: "M" an empty file, "/" a directory, "-" nothing.
#
# A fifth, the event log /mnt/imgpart/kestran_events.log, where a row names
# it: "-" nothing, "/" "p" as above, "l" a link to a log elsewhere, "L" three
# earlier lines (numbered 41 to 43), "C" those and a line cut off, "F" a log
# a line short of its 64 KiB. After a run: "-" "/" "p" "l" as placed, "=" the
# log as placed, or the events (comma-parted) its last lines must hold.
#
# The trial state /mnt/imgpart/kestran_trial: a number of boots begun, "R"
# rejected, "X" text that is no count, "/" a directory, "-" none; with "p"
# after it (e.g. "1p"), a FIFO stands at its temporary path kestran_trial.new;
# with "h", the fallback image under a second name (a hard link) stands there.
# shellcheck shell=bash

readonly current_image=/mnt/imgpart/kestran_current.sqsh
readonly fallback_image=/mnt/imgpart/kestran_fallback.sqsh
readonly update_file=/mnt/usb/kestran.fir
readonly install_marker=/mnt/imgpart/kestran_install.incomplete
readonly trial_file=/mnt/imgpart/kestran_trial
readonly event_log=/mnt/imgpart/kestran_events.log
# (The temporary names of the fallback image and the new image are for
# faults.sh, outcome.sh and cut-checks.sh.)
# shellcheck disable=SC2034
readonly fallback_copy=/mnt/imgpart/kestran_fallback.sqsh.new
# shellcheck disable=SC2034
readonly current_new=/mnt/imgpart/kestran_current.sqsh.new
readonly floor_file=/mnt/imgpart/kestran_version_floor
readonly version_file=/mnt/imgpart/kestran_current.version

# Makes the payloads PAYLOADS names ("A=64k B=96k E=0", or "-" for none) as
# random bytes in /mnt/ref, which must exist.
make_payloads() {
    local payload size
    for payload in $1; do
        [[ $payload == - ]] && continue
        if [[ ${payload#*=} =~ ^[0-9]+[kmg]?s$ ]]; then
            # A sparse file of that size ("2049ms"): 64 KiB of random bytes,
            # then a hole, as large as images get, taking no room.
            head -c 64k /dev/urandom >"/mnt/ref/${payload%%=*}"
            size=${payload#*=}
            truncate -s "${size%s}" "/mnt/ref/${payload%%=*}"
        elif [[ ${payload#*=} == sqfs ]]; then
            # A squashfs image of a random 64 KiB file, kept in /mnt/sqfs/X.
            mkdir -p "/mnt/sqfs/${payload%%=*}"
            head -c 64k /dev/urandom >"/mnt/sqfs/${payload%%=*}/data"
            mksquashfs "/mnt/sqfs/${payload%%=*}" "/mnt/ref/${payload%%=*}" -quiet -no-progress \
                >/dev/null
        else
            head -c "${payload#*=}" /dev/urandom >"/mnt/ref/${payload%%=*}"
        fi
    done
}

# Puts what image notation STATE says at PATH (nothing for "-").
place() {
    local state=$1 path=$2 ref=/mnt/ref/${1:0:1}
    case $state in
    -) ;;
    /) mkdir "$path" ;;
    p) mkfifo "$path" ;;
    c) mknod "$path" c 1 5 ;;
    z) ln -s /dev/zero "$path" ;;
    d) ln -s nowhere "$path" ;;
    l) ln -s "$path" "$path" ;;
    f) ln -s "$fallback_image" "$path" ;;
    k) ln -s "$current_image" "$path" ;;
    h) ln "$current_image" "$path" ;;
    [A-Z]\<) head -c $(($(stat -c %s "$ref") / 2)) "$ref" >"$path" ;;
    [A-Z]~) head -c "$(stat -c %s "$ref")" /dev/urandom >"$path" ;;
    [A-Z]) cp "$ref" "$path" ;;
    *) fail "unknown image notation '$state'" ;;
    esac
}

# Puts the four paths in place as PARTITION ("current fallback update
# marker") says; their directories must exist.
place_partition() {
    local cur fb upd mark log
    read -r cur fb upd mark log <<<"$1"
    [[ -z $log ]] || place_log "$log"
    place "$cur" "$current_image"
    place "$fb" "$fallback_image"
    place "$upd" "$update_file"
    case $mark in
    -) ;;
    M) : >"$install_marker" ;;
    /) mkdir "$install_marker" ;;
    *) fail "unknown marker notation '$mark'" ;;
    esac
}

# Prints what PATH holds in image notation: a payload's letter when it holds
# exactly that payload, else "X<" for a strict prefix of payload X, "X~" for
# X's size and other bytes; "h" for the current image under a second name;
# "?" for what the notation has no word for. Exact: what it prints, PATH is.
describe() {
    local path=$1 size ref
    if [[ -L $path ]]; then
        case $(readlink "$path") in
        /dev/zero) echo z ;;
        nowhere) echo d ;;
        "$path") echo l ;;
        */kestran_fallback.sqsh) echo f ;;
        */kestran_current.sqsh) echo k ;;
        *) echo '?' ;;
        esac
        return
    fi
    [[ -e $path ]] || { echo -; return; }
    [[ ! -d $path ]] || { echo /; return; }
    [[ ! -p $path ]] || { echo p; return; }
    [[ ! -c $path ]] || { echo c; return; }
    [[ -f $path ]] || { echo '?'; return; }
    [[ $path == "$current_image" || -L $current_image || ! $path -ef $current_image ]] || { echo h; return; }
    size=$(stat -c %s "$path")
    for ref in /mnt/ref/[A-Z]; do
        [[ -f $ref ]] || continue
        [[ $size != "$(stat -c %s "$ref")" ]] || ! cmp -s "$path" "$ref" || { echo "${ref##*/}"; return; }
    done
    for ref in /mnt/ref/[A-Z]; do
        [[ -f $ref ]] || continue
        ((size >= $(stat -c %s "$ref"))) || ! cmp -s -n "$size" "$path" "$ref" ||
            { echo "${ref##*/}<"; return; }
    done
    for ref in /mnt/ref/[A-Z]; do
        [[ -f $ref ]] || continue
        [[ $size != "$(stat -c %s "$ref")" ]] || { echo "${ref##*/}~"; return; }
    done
    echo '?'
}

# Prints what the four paths hold, in the notation check_partition takes: the
# marker "M" a regular file, "/" a directory, "-" nothing, "?" anything else.
describe_partition() {
    local mark='?'
    [[ -e $install_marker || -L $install_marker ]] || mark=-
    [[ -L $install_marker || ! -f $install_marker ]] || mark=M
    [[ -L $install_marker || ! -d $install_marker ]] || mark=/
    echo "$(describe "$current_image") $(describe "$fallback_image") $(describe "$update_file") $mark"
}

# Fails unless the four paths hold what PARTITION ("current fallback update
# marker", and the event log where it names one) says, naming the first that
# differs, what it holds and what was expected.
check_partition() {
    local want now names=("current image" "fallback image" "update file" "install marker") i
    read -r -a want <<<"$1"
    # (A build without the event log writes none.)
    if [[ -n ${want[4]:-} ]]; then
        check_log "${want[4]}"
    elif ! grep -a -q 'event log' "$TOOL"; then
        check_log -
    fi
    read -r -a now <<<"$(describe_partition)"
    for i in 0 1 2 3; do
        [[ ${now[i]} == "${want[i]}" ]] || fail "${names[i]} is ${now[i]}, expected ${want[i]} ($1)"
    done
}

# Puts trial state STATE in place (nothing for "-").
place_trial() {
    local state=$1
    if [[ $state == *p ]]; then
        mkfifo "$trial_file.new"
        state=${state%p}
    elif [[ $state == *h ]]; then
        ln "$fallback_image" "$trial_file.new"
        state=${state%h}
    fi
    case $state in
    -) ;;
    /) mkdir "$trial_file" ;;
    R) echo rejected >"$trial_file" ;;
    X) echo "two boots" >"$trial_file" ;;
    *) echo "$state" >"$trial_file" ;;
    esac
}

# Fails unless the trial state is STATE; without "p" after it, nothing may be
# left at the temporary path.
check_trial() {
    local state=$1 now
    if [[ $state == *p ]]; then
        [[ -p $trial_file.new ]] || fail "the FIFO at $trial_file.new is gone"
        state=${state%p}
    else
        [[ ! -e $trial_file.new ]] || fail "the trial state's temporary file is left behind"
        state=${state%h}
    fi
    now=$(cat "$trial_file" 2>/dev/null) || now=''
    case $state in
    -) [[ ! -e $trial_file ]] || fail "trial state '$now', expected none" ;;
    /) [[ -d $trial_file ]] || fail "the trial state is no longer the directory" ;;
    R) [[ $now == rejected ]] || fail "trial state '$now', expected rejected" ;;
    X) [[ $now == "two boots" ]] || fail "trial state '$now', expected 'two boots'" ;;
    *) [[ -f $trial_file && $now == "$state" ]] || fail "trial state '$now', expected $state" ;;
    esac
}

# Puts the version floor FLOOR and the current image's recorded version
# RECORD there ("-" none; "x" for FLOOR: bytes that are no version).
place_versions() {
    case $1 in
    -) ;;
    x) printf '7x\n' >"$floor_file" ;;
    *) echo "$1" >"$floor_file" ;;
    esac
    [[ $2 == - ]] || echo "$2" >"$version_file"
}

# Fails unless the version floor is FLOOR ("-" none, "*" any, "x" the bytes
# place_versions put there), with nothing left at its temporary name.
check_floor() {
    local now
    now=$(cat "$floor_file" 2>/dev/null) || now=none
    case $1 in
    \*) ;;
    -) [[ ! -e $floor_file ]] || fail "version floor $now, expected none" ;;
    x) [[ $now == 7x ]] || fail "the unreadable version floor was written" ;;
    *) [[ $now == "$1" ]] || fail "version floor '$now', expected $1" ;;
    esac
    [[ ! -e $floor_file.new ]] || fail "the floor's temporary file is left"
}

# Puts event log notation STATE in place, and what it placed in /mnt/ref/log.
place_log() {
    case $1 in
    / | p) place "$1" "$event_log" ;;
    l)
        echo "7 2026-01-01T00:00:00Z confirmed boots=1" >/mnt/imgpart/other.log
        ln -s other.log "$event_log"
        ;;
    L | C | Z) printf '%s 2026-01-01T00:00:00Z trial-boot boot=1 of=2\n' 41 42 43 >"$event_log" ;;&
    C) printf '44 2026-01-0' >>"$event_log" ;;
    Z) head -c 4 /dev/zero >>"$event_log" ;;
    F) awk 'BEGIN { for (i = 1; size < 65450; i++) {
            line = i " 2026-01-01T00:00:00Z fallback-boot reason=install-marker"
            print line; size += length(line) + 1 } }' >"$event_log" ;;
    esac
    [[ ! -f $event_log ]] || cp "$event_log" /mnt/ref/log
    [[ ! -L $event_log ]] || cp /mnt/imgpart/other.log /mnt/ref/log
}

# Fails unless the event log is as notation STATE says. New lines must be
# whole and well formed, numbered on from the lines placed, which are kept
# (a line cut off dropped; of a full log, the newer half); an install's
# carries the update's digest and size, a refusal's its reason.
check_log() {
    local state=$1 old=/mnt/ref/log whole='' kept n
    case $state in
    - | / | p)
        [[ $(describe "$event_log") == "$state" ]] || fail "the event log is $(describe "$event_log"), expected $state"
        return
        ;;
    l) [[ -L $event_log ]] && cmp -s /mnt/imgpart/other.log "$old" && return ;;&
    =) cmp -s "$event_log" "$old" && return ;;&
    l | =) fail "the event log (or the log its link leads to) was changed" ;;
    esac
    [[ -f $event_log && ! -L $event_log && -z $(tail -c 1 "$event_log") ]] ||
        fail "the event log is not a regular file of whole lines"
    ! grep -vxE '[0-9]+ [0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}Z [a-z-]+( [a-z]+=([^ "]+|"([^"\\]|\\.)*"))*' \
        "$event_log" >&2 || fail "the event log has lines of another form"
    awk 'NR > 1 && $1 != n + 1 { exit 1 } { n = $1 }' "$event_log" || fail "the event log's numbers are not consecutive"
    n=$(tr -cd , <<<"$state" | wc -c)
    [[ $(tail -n $((n + 1)) "$event_log" | cut -d' ' -f3 | paste -sd,) == "$state" ]] ||
        fail "the event log ends with other events than $state: $(cat "$event_log")"
    kept=$(head -n -$((n + 1)) "$event_log")
    if [[ -f $old ]]; then
        whole=$(tr -d '\0' <"$old")
        [[ -z $(tail -c 1 "$old" | tr -d '\0') ]] || whole=$(sed '$d' "$old")
    fi
    if (($(stat -c %s "$old" 2>/dev/null || echo 0) > 65000)); then
        if (($(stat -c %s "$event_log") >= 65536 || ${#kept} > 32768)) || [[ -z $kept || $whole != *"$kept" ]]; then
            fail "the full event log did not keep its newer half"
        fi
    else
        [[ $kept == "$whole" ]] || fail "the event log's earlier lines were not kept as they were"
    fi
    [[ ,$state, != *,install-complete,* ]] || grep -qE " install-complete digest=$(/bin/sha512sum "$update_file" |
        cut -c1-16) size=$(stat -c %s "$update_file")( |\$)" "$event_log" || fail "the install's line lacks its digest or size"
    ! grep -E ' update-[a-z]+ ' "$event_log" | grep -v ' reason=' >&2 || fail "a refusal without its reason"
}
