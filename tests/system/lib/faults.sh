# The faults of the scenario table, and the run of the tool under them.
# Sourced by scenarios.sh, inside the namespace of one row, with TOOL and
# RUNNER set (harness.sh) and the partition in place (partition.sh); the
# caller declares the arrays args (the tool's arguments) and wrap (a command
# the tool runs under), which inject_fault sets.
# shellcheck shell=bash

# shellcheck source-path=SCRIPTDIR source=partition.sh
declare -F place_partition >/dev/null || source "$(dirname "${BASH_SOURCE[0]}")/partition.sh"

kestran_sign=$(cd "$(dirname "${BASH_SOURCE[0]}")/../../.." && pwd)/dist/sign/kestran-sign
readonly kestran_sign
# Seconds a run of the tool may take before it is killed.
readonly run_timeout=120

# Replaces /bin/sha512sum inside this namespace by a script with BODY; the
# real command stays reachable as /mnt/real-sha512sum.
replace_checksum() {
    local real
    real=$(readlink -f /bin/sha512sum)
    cp "$real" /mnt/real-sha512sum
    printf '#!/bin/sh\n%s\n' "$1" >/mnt/fake-sha512sum
    chmod +x /mnt/fake-sha512sum
    mount --bind /mnt/fake-sha512sum "$real"
}

# The path the install copy writes: the current image, or its temporary
# name in a build that installs by renames.
install_target() {
    if grep -a -q 'install rename' "$TOOL"; then
        echo "$current_new"
    else
        echo "$current_image"
    fi
}

# Puts a cp with BODY first in the tool's PATH (/mnt/bin); it reaches the
# real one as /bin/cp.
replace_cp() {
    printf '#!/bin/sh\n%s\n' "$1" >/mnt/bin/cp
    chmod +x /mnt/bin/cp
}

# Makes the checksum command fail on the current image the next N times.
fail_current_reads() {
    echo "$1" >/mnt/failures-left
    # shellcheck disable=SC2016 # the script expands its own "$1"
    replace_checksum 'if [ "$1" = /mnt/imgpart/kestran_current.sqsh ]; then
    left=$(cat /mnt/failures-left)
    if [ "$left" -gt 0 ]; then
        echo $((left - 1)) >/mnt/failures-left
        echo "sha512sum: simulated failure" >&2; exit 1
    fi
fi
exec /mnt/real-sha512sum "$@"'
}

# For a fault man[@KEY]:V:C:F:R>T: signs the update file with KEY's secret
# key (default test, in $SCENARIO_KEYS; one made here if it is not there) and a manifest naming version V and
# compatible string C ("-": none), and puts the version floor F and the
# current image's recorded version R there ("-" none, "x" for F: bytes that
# are no version). T is the floor expected after the run ("*" any;
# outcome.sh).
place_manifest() {
    local spec=${1#man} key=test version compatible floor record
    if [[ $spec == @* ]]; then
        key=${spec%%:*} key=${key#@}
    fi
    spec=${spec#*:} spec=${spec%>*}
    IFS=: read -r version compatible floor record <<<"$spec"
    local -a options=()
    [[ $version == - ]] || options+=(-V "$version")
    [[ $compatible == - ]] || options+=(-C "$compatible")
    local secret=$SCENARIO_KEYS/$key.sec
    if [[ ! -e $secret ]]; then
        # A key no build trusts.
        secret=/mnt/$key.sec
        "$SIGNIFY" -G -n -p "/mnt/$key.pub" -s "$secret"
    fi
    "$kestran_sign" "${options[@]}" "$secret" "$update_file" 2>/dev/null
    place_versions "$floor" "$record"
}

# Signs the update file, or leaves a signature file beside it, as the sig-*
# fault FAULT says: with the build's test key (in $SCENARIO_KEYS), another
# key, a bit flipped, another file's digest, or no regular file.
place_signature() {
    local fault=$1 sig=$update_file.sig
    /bin/sha512sum "$update_file" | cut -c1-128 >/mnt/digest-line
    case $fault in
    sig-valid | sig-valid-strace | sig-last-key)
        # The test key; for sig-last-key the last of the keys the build
        # trusts (SCENARIO_TRUSTED).
        local -a trusted=(test)
        [[ $fault != sig-last-key ]] || read -r -a trusted <<<"${SCENARIO_TRUSTED:-test}"
        "$kestran_sign" "$SCENARIO_KEYS/${trusted[-1]}.sec" "$update_file" 2>/dev/null
        ;;
    sig-manifest)
        "$kestran_sign" -V 7 -C test-board "$SCENARIO_KEYS/test.sec" "$update_file" 2>/dev/null
        ;;
    sig-manifest-size)
        # An embedded signature of the manifest of an update a byte longer.
        printf 'sha512 %s\nsize %s\n' "$(cat /mnt/digest-line)" \
            $(($(stat -c %s "$update_file") + 1)) >/mnt/manifest
        "$SIGNIFY" -S -e -s "$SCENARIO_KEYS/test.sec" -m /mnt/manifest -x "$sig"
        ;;
    sig-manifest-changed)
        # A manifest changed after it was signed: its version raised.
        "$kestran_sign" -V 7 -C test-board "$SCENARIO_KEYS/test.sec" "$update_file" 2>/dev/null
        sed -i 's/^version 7$/version 8/' "$sig"
        grep -qx 'version 8' "$sig" || fail "the manifest was not changed"
        ;;
    sig-none) ;;
    sig-other-key)
        "$SIGNIFY" -G -n -p /mnt/other.pub -s /mnt/other.sec
        "$SIGNIFY" -S -s /mnt/other.sec -m /mnt/digest-line -x "$sig"
        ;;
    sig-tampered)
        "$SIGNIFY" -S -s "$SCENARIO_KEYS/test.sec" -m /mnt/digest-line -x "$sig"
        # One bit of the signature itself (its bytes follow "Ed" and the
        # 8-byte key number), the file otherwise well formed.
        sed -n 2p "$sig" | base64 -d >/mnt/sig.bin
        local byte
        byte=$(od -An -tu1 -j40 -N1 /mnt/sig.bin)
        printf '%b' "$(printf '\\0%03o' $((byte ^ 1)))" |
            dd of=/mnt/sig.bin bs=1 seek=40 conv=notrunc status=none
        { sed -n 1p "$sig" && base64 -w0 /mnt/sig.bin && echo; } >/mnt/sig.new
        mv /mnt/sig.new "$sig"
        ;;
    sig-other-file)
        /bin/sha512sum /mnt/ref/O | cut -c1-128 >/mnt/digest-line
        "$SIGNIFY" -S -s "$SCENARIO_KEYS/test.sec" -m /mnt/digest-line -x "$sig"
        ;;
    sig-fifo) mkfifo "$sig" ;;
    sig-directory) mkdir "$sig" ;;
    sig-huge) head -c 1m /dev/urandom >"$sig" ;;
    *) fail "unknown fault $fault" ;;
    esac
}

# Sets up FAULT ("-" none) before the run: changes the partition, replaces
# sha512sum or cp, or sets the tool's arguments (args) or the command it
# runs under (wrap, or more RUNNER arguments).
inject_fault() {
    local fault=$1
    # The replacement scripts expand their own "$1"; strace takes its
    # syscall list as one argument.
    # shellcheck disable=SC2016,SC2054,SC2034
    case $fault in
    - | second-run | lock-held) ;;
    args) args=(--force -v "$update_file" "two words") ;;
    read-only) mount -o remount,ro /mnt/imgpart ;;
    fill-300k) head -c 300k /dev/zero >/mnt/imgpart/filler ;;
    fill-all) head -c 64m /dev/zero >/mnt/imgpart/filler 2>/dev/null || true ;;
    fill-but-8k)
        # All but 8 KiB: room to begin a write, not to end one.
        head -c 64m /dev/zero >/mnt/imgpart/filler 2>/dev/null || true
        truncate -s "-8k" /mnt/imgpart/filler
        ;;
    sum-fails) replace_checksum 'echo "sha512sum: simulated failure" >&2; exit 1' ;;
    sum-garbage) replace_checksum 'echo "not a digest  $1"' ;;
    sum-fails-current-*) fail_current_reads "${fault##*-}" ;;
    half-copy | half-copy-unreadable)
        # What a fallback copy cut off by a power cut leaves: part of the
        # current image at the copy's temporary name.
        head -c 32k /mnt/ref/A >"$fallback_copy"
        [[ $fault == half-copy ]] || fail_current_reads 2
        ;;
    mount-current | mount-fallback)
        # The running system's image, loop-mounted read-only.
        lock_loop_devices -s
        local image=$current_image
        [[ $fault == mount-fallback ]] && image=$fallback_image
        mkdir /mnt/root
        mount -t squashfs -o loop,ro "$image" /mnt/root
        ;;
    sqfs-zero-tail)
        # A copier that gave the file its full size first and was then cut
        # off: the image's second half zeros.
        local file size
        for file in /mnt/ref/B "$update_file"; do
            size=$(stat -c %s "$file")
            truncate -s $((size / 2)) "$file"
            truncate -s "$size" "$file"
        done
        ;;
    sqfs-v3)
        # A squashfs 3.0 superblock: its major version is 3.
        local file
        for file in /mnt/ref/B "$update_file"; do
            printf '\003\000\000\000' | dd of="$file" bs=1 seek=28 conv=notrunc status=none
        done
        ;;
    man*) place_manifest "$fault" ;;
    update-fills-bfree)
        # An update as large as the free blocks statfs counts (f_bfree) and
        # the images the install frees would hold, less two blocks: more
        # than fits, since ext4 keeps clusters of its own that not even
        # root may use.
        local size
        size=$(($(stat -f -c '%f * %S' /mnt/imgpart) + $(stat -c '%b * %B' "$fallback_image") - \
            $(stat -c %s "$current_image") + $(stat -c '%b * %B' "$current_image") - \
            2 * $(stat -f -c %S /mnt/imgpart)))
        head -c "$size" /dev/urandom >/mnt/ref/B
        cp /mnt/ref/B "$update_file"
        ;;
    new-image-left)
        # A cut between the renames of an install by rename: the current
        # image is already the fallback image, the new one whole at its
        # temporary name.
        cp /mnt/ref/B "$current_new"
        ;;
    second-name)
        # A factory copy made with ln: the current image under another name.
        ln "$current_image" /mnt/imgpart/factory.sqsh
        ;;
    fill-at-install)
        # Something else fills the partition once the tool has found that
        # the update fits: the install copy runs out of room.
        replace_cp '[ "$1" = /mnt/usb/kestran.fir ] && head -c 400k /dev/zero >/mnt/imgpart/filler
exec /bin/cp "$@"'
        ;;
    cp-other-bytes)
        # A stick that serves other bytes to the install copy than it did to
        # the checksum.
        replace_cp '[ "$1" = /mnt/usb/kestran.fir ] && exec /bin/cp /mnt/ref/O "$2"
exec /bin/cp "$@"'
        ;;
    medium-fallback | medium-install)
        # The medium spoils the first block of a copy once it is flushed:
        # before the checksum reads the copy back (the first read of the
        # fallback image; the second of the current image, the install copy),
        # another block is written there through the loop device, behind
        # the page cache.
        local target=$fallback_copy nth=1
        if [[ $fault == medium-install ]]; then
            target=$(install_target) nth=2
            # (By renames the new image is read once only: back from the medium.)
            [[ $target == "$current_image" ]] || nth=1
        fi
        replace_checksum "if [ \"\$1\" = $target ]; then
    echo x >>/mnt/reads
    if [ \$(wc -l </mnt/reads) -eq $nth ]; then
        block=\$(filefrag -v \"\$1\" | awk '\$1 == \"0:\" { sub(/[.][.].*/, \"\", \$4); print \$4 }')
        head -c 4096 /dev/urandom | dd of=\$(findmnt -n -o SOURCE /mnt/imgpart) bs=4096 \\
            seek=\"\$block\" count=1 oflag=direct conv=notrunc status=none
    fi
fi
exec /mnt/real-sha512sum \"\$@\""
        ;;
    trial:*)
        local before=${fault#trial:}
        place_trial "${before%>*}"
        ;;
    sig-*)
        place_signature "$fault"
        if [[ $fault == sig-valid-strace && ${RUNNER[0]:-} == *qemu-* ]]; then
            # Under qemu's user-mode emulation: the target's own system calls.
            RUNNER+=(-d strace -D /mnt/trace)
        elif [[ $fault == sig-valid-strace ]]; then
            wrap=(env "ASAN_OPTIONS=${ASAN_OPTIONS:-}:detect_leaks=0" strace -f -qq -e trace=getrandom,openat,open \
                -o /mnt/trace)
        fi
        ;;
    kill-install)
        # cp that writes part of the update over the current image, then
        # kills the tool and everything it started (the session: each
        # command has a process group of its own), as a power cut would.
        replace_cp 'if [ "$1" = /mnt/usb/kestran.fir ]; then
    head -c 4096 "$1" >"$2"
    pkill -KILL -s 0
fi
exec /bin/cp "$@"'
        wrap=(setsid -w)
        ;;
    term-fallback | term-install)
        # cp that writes part of its target, sends SIGTERM to the tool (the
        # parent of its process group's leader, the tool's shell) and goes
        # on as a slow copy would, until it is stopped.
        local target=$fallback_copy
        [[ $fault == term-install ]] && target=$(install_target)
        replace_cp "if [ \"\$2\" = $target ]; then
    head -c 4096 \"\$1\" >\"\$2\"
    echo \$\$ >/mnt/cp.pid
    kill -TERM \$(ps -o ppid= -p \$(ps -o pgid= -p \$\$))
    exec sleep 600
fi
exec /bin/cp \"\$@\""
        ;;
    stdout-closed)
        # cp that notes what its standard output is: /dev/null, not a
        # descriptor of the tool's own.
        replace_cp 'fd1=$(readlink /proc/$$/fd/1)
echo "$fd1" >>/mnt/cp-stdout
exec /bin/cp "$@"'
        ;;
    sigchld-ignored)
        # shellcheck disable=SC2016 # perl's own variables
        wrap=(perl -e '$SIG{CHLD} = "IGNORE"; exec @ARGV or die "exec: $!"') ;;
    trace)
        # LeakSanitizer cannot run under ptrace; the other runs check leaks.
        wrap=(env "ASAN_OPTIONS=${ASAN_OPTIONS:-}:detect_leaks=0" strace -f -qq -s 256 -e trace=execve,openat,fsync,unlink,unlinkat,rename,renameat,renameat2 \
            -o /mnt/trace) ;;
    *) fail "unknown fault $fault" ;;
    esac
}

# Runs the tool with standard output to OUT ("closed": closed) and standard
# error to ERR, under wrap and RUNNER, with args, and the replaced commands
# first in its PATH; a run that does not end within run_timeout seconds is
# killed (exit status 124). Replaces the shell: run it in a subshell.
run_tool() {
    if [[ $1 == closed ]]; then exec 1>&-; else exec 1>"$1"; fi
    PATH="/mnt/bin:$PATH" exec timeout -k 5 "$run_timeout" "${wrap[@]}" "${RUNNER[@]}" \
        "$TOOL" "${args[@]}" 2>"$2" </dev/null
}

# Runs the tool as FAULT needs, output to /mnt/stdout and /mnt/stderr, and
# sets the caller's got to its exit status; checks what the fault itself
# says of the run (waiting for a lock, a second run, closed output).
run_under_fault() {
    local fault=$1
    got=0
    # (The braces keep bash's own notice of a killed tool off the output.)
    case $fault in
    stdout-closed)
        { (run_tool closed /mnt/stderr); } 2>/dev/null || got=$?
        : >/mnt/stdout
        [[ $(sort -u /mnt/cp-stdout) == /dev/null ]] ||
            fail "the copies' standard output: $(cat /mnt/cp-stdout)"
        ;;
    lock-held)
        # While another holds the partition's lock, the tool waits, having
        # written nothing; then it goes on.
        exec 9</mnt/imgpart
        flock 9
        (exec 9<&-; run_tool /mnt/stdout /mnt/stderr) &
        local waiting=$!
        sleep 1
        diff -u <(expected_stdout F) /mnt/stdout >&2 || fail "went on without the lock"
        (check_partition "A - B -") || fail "wrote to the partition without the lock"
        exec 9<&-
        wait "$waiting" || got=$?
        ;;
    second-run)
        # A second run started while the first is installing waits for it,
        # then finds nothing to do.
        (run_tool /mnt/stdout /mnt/stderr) &
        local first=$! i
        for ((i = 0; i < 6000; i++)); do
            grep -qs "Updating Firmware." /mnt/stdout && break
            sleep 0.01
        done
        (run_tool /mnt/stdout2 /mnt/stderr2) || fail "second run: exit status $?"
        wait "$first" || got=$?
        diff -u <(expected_stdout F) /mnt/stdout2 >&2 || fail "second run: standard output differs"
        [[ ! -s /mnt/stderr2 ]] || fail "second run: standard error: $(cat /mnt/stderr2)"
        ;;
    *) { (run_tool /mnt/stdout /mnt/stderr); } 2>/dev/null || got=$? ;;
    esac
    ((got != 124)) || fail "the tool did not end within $run_timeout s"
}
