#!/usr/bin/env bash
# System scenarios for init-updater: each row of the table below runs the
# built tool once, in a private mount namespace of its own, against real
# files on fresh tmpfs mounts at /mnt/usb and /mnt/imgpart, with the real
# /bin/sha512sum and cp (replaced only to inject a fault). The host's /mnt is
# never touched: a scratch tmpfs covers it inside the namespace.
#
# Usage: scenarios.sh TOOL [RUNNER...]
#   TOOL     the init-updater binary
#   RUNNER   optional command that runs it (an emulator, valgrind)
# Environment: SCENARIOS="name ..." runs only those rows; ROWS_TAGGED="tag
# ..." only the rows with one of those tags; SCENARIO_KEYS the
# directory of the test keys (SIGNIFY the signify command). The build's tags
# come from the tool itself (describe_build, lib/rows.sh).
# Exit status: 0 all passed, 1 a scenario failed, 77 no namespace could be
# set up (never 77 when CI=true: there that is a failure).
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
readonly here
# shellcheck source-path=SCRIPTDIR source=harness.sh
source "$here/harness.sh"
# shellcheck source-path=SCRIPTDIR source=lib/rows.sh
source "$here/lib/rows.sh"
# shellcheck source-path=SCRIPTDIR source=lib/faults.sh
source "$here/lib/faults.sh"
# shellcheck source-path=SCRIPTDIR source=lib/outcome.sh
source "$here/lib/outcome.sh"

# name | imgpart | payloads | before | fault | stdout | exit | stderr | after
#   | tags
#
# Imgpart: the image partition, a tmpfs of that size, or "ext4": an ext4
# file system on a loop device, whose file is the medium behind the page
# cache. Payloads: random bytes named by letter, of the given sizes (E=0 an
# empty file). Before and after: the current image, the fallback image, the
# update file and the install marker, in the notation of lib/partition.sh.
# Fault: what is done to the run, "-" nothing (lib/faults.sh); "trial:S>T"
# puts trial state S there before the run and expects T after it;
# "man[@KEY]:V:C:F:R>T" signs a manifest of version V for device C with
# KEY, puts version floor F and recorded version R there, and expects floor
# T after it (lib/faults.sh). Stdout:
# message codes, one line each (lib/outcome.sh): F found, R could not be
# read, U updating, C copying, D complete, X failed, J rejected; "-" nothing.
# Exit: a status, or "killed". Stderr: "-" empty, "*" anything, else a text
# it must contain. Tags: what the row needs (lib/rows.sh).
readonly table='
identical                 | 4m   | A=64k             | A  - A - | -                   | F    | 0      | -                  | A  - A -  | unsigned
identical-with-fallback   | 4m   | A=64k O=32k       | A  O A - | -                   | F    | 0      | -                  | A  O A -  | unsigned
different                 | 4m   | A=64k B=96k       | A  - B - | -                   | FUCD | 0      | -                  | B  A B -  | unsigned
fallback-replaced         | 4m   | A=64k B=96k O=32k | A  O B - | -                   | FUCD | 0      | -                  | B  A B -  | unsigned
arguments-ignored         | 4m   | A=64k B=96k       | A  - B - | args                | FUCD | 0      | -                  | B  A B -  | unsigned
arguments-identical       | 4m   | A=64k             | A  - A - | args                | F    | 0      | -                  | A  - A -  | unsigned
no-current-image          | 4m   | B=96k             | -  - B - | -                   | FUCD | 0      | cannot read        | B  - B -  | unsigned
no-current-keeps-old      | 4m   | B=96k O=32k       | -  O B - | -                   | FUCD | 0      | cannot read        | B  O B -  | unsigned
empty-current-keeps-old   | 4m   | B=96k O=32k E=0   | E  O B - | -                   | FUCD | 0      | is empty           | B  O B -  | unsigned
current-reads-on-retry    | 4m   | A=64k B=96k O=32k | A  O B - | sum-fails-current-1 | FUCD | 0      | simulated          | B  A B -  | unsigned
current-unreadable        | 4m   | A=64k B=96k O=32k | A  O B - | sum-fails-current-2 | FUCD | 0      | simulated          | B  O B -  | unsigned
current-unreadable-only   | 4m   | A=64k B=96k       | A  - B - | sum-fails-current-2 | FUX  | 0      | not overwritten    | A  - B -  | unsigned
no-update-file            | 4m   | A=64k O=32k       | A  O - - | -                   | FR   | 0      | cannot read        | A  O - -  | unsigned
empty-update              | 4m   | A=64k O=32k E=0   | A  O E - | -                   | FR   | 0      | is empty           | A  O E -  | unsigned
update-is-directory       | 4m   | A=64k O=32k       | A  O / - | -                   | FR   | 0      | not a regular file | A  O / -  | unsigned
update-is-fifo            | 4m   | A=64k O=32k       | A  O p - | -                   | FR   | 0      | not a regular file | A  O p -  | unsigned
update-is-device          | 4m   | A=64k O=32k       | A  O c - | -                   | FR   | 0      | not a regular file | A  O c -  | unsigned
update-links-to-zero      | 4m   | A=64k O=32k       | A  O z - | -                   | FR   | 0      | leads off the stick | A  O z - | unsigned
update-dangling-link      | 4m   | A=64k O=32k       | A  O d - | -                   | FR   | 0      | cannot read        | A  O d -  | unsigned
update-link-loop          | 4m   | A=64k O=32k       | A  O l - | -                   | FR   | 0      | cannot read        | A  O l -  | unsigned
update-is-the-fallback    | 4m   | A=64k O=32k       | A  O f - | -                   | FR   | 0      | leads off the stick | A  O f - | unsigned
resume-update-is-current  | 4m   | A=64k B=96k       | B< A k M | -                   | FR   | 0      | leads off the stick | B< A k M | unsigned
current-has-second-name   | 4m   | A=64k B=96k O=32k | A  O B - | second-name         | FUCD | 0      | -                  | B  A B -  | unsigned
trial-new-is-a-second-name | 4m  | A=64k B=96k O=32k | A  O B - | trial:1h>0          | FUCD | 0      | -                  | B  O B -  | unsigned trial
images-are-one-file       | 4m   | A=64k B=96k       | A  h B - | trial:1>1           | FUX  | 0      | are one file       | A  h B -  | unsigned trial
current-is-fifo           | 4m   | B=96k O=32k       | p  O B - | -                   | FUX  | 0      | not a regular file | p  O B -  | unsigned
current-is-device         | 4m   | B=96k O=32k       | c  O B - | -                   | FUX  | 0      | not a regular file | c  O B -  | unsigned
current-links-to-zero     | 4m   | B=96k O=32k       | z  O B - | -                   | FUX  | 0      | not a regular file | z  O B -  | unsigned
current-is-directory      | 4m   | B=96k O=32k       | /  O B - | -                   | FUX  | 0      | not a regular file | /  O B -  | unsigned
fallback-is-directory     | 4m   | A=64k B=96k       | A  / B - | -                   | FUX  | 0      | not a regular file | A  / B -  | unsigned
marker-is-directory       | 4m   | A=64k B=96k O=32k | A  O B / | -                   | FUX  | 0      | not a regular file | A  O B /  | unsigned
no-images-at-all          | 4m   | -                 | -  - - - | -                   | FR   | 0      | cannot read        | -  - - -  | unsigned
checksum-fails            | 4m   | A=64k B=96k O=32k | A  O B - | sum-fails           | FR   | 0      | simulated          | A  O B -  | unsigned
checksum-prints-garbage   | 4m   | A=64k B=96k O=32k | A  O B - | sum-garbage         | FR   | 0      | printed no digest  | A  O B -  | unsigned
read-only-partition       | 4m   | A=64k B=96k O=32k | A  O B - | read-only           | FUCX | 0      | Read-only file system | A O B - | unsigned
full-for-fallback         | 1m   | A=600k B=200k     | A  - B - | -                   | FUX  | 0      | does not fit       | A  -  B - | unsigned copy
rename-needs-no-copy-room     | 1m | A=600k B=200k  | A  - B - | -                   | FUCD | 0      | -                  | B  A B -  | unsigned rename
ext4-keeps-its-reserve    | ext4 | A=8m B=64k O=8m   | A  O B - | update-fills-bfree  | FUX  | 0      | does not fit       | A  O B -  | unsigned ext4
fallback-room-of-the-old  | 1m   | A=400k B=150k O=400k | A O B - | -                  | FUCD | 0      | -                  | B  A B -  | unsigned
stale-copy-replaced       | 4m   | A=64k B=96k       | A  - B - | half-copy           | FUCD | 0      | -                  | B  A B -  | unsigned
stale-copy-no-fallback    | 4m   | A=64k B=96k       | A  - B - | half-copy-unreadable | FUX | 0      | not overwritten    | A  - B -  | unsigned
resume-marker-stays       | 4m   | A=64k B=96k       | B  A B M | read-only           | FX   | 0      | Read-only file system | B A B M | unsigned
current-in-use            | 4m   | A=sqfs B=96k O=32k | A O B - | mount-current       | FUX  | 0      | is in use (backs /dev/loop | A O B - | unsigned
fallback-in-use           | 4m   | A=64k B=96k O=sqfs | A O B - | mount-fallback      | FUX  | 0      | kestran_fallback.sqsh is in use | A O B - | unsigned
in-use-identical          | 4m   | A=sqfs            | A  - A - | mount-current       | F    | 0      | -                  | A  - A -  | unsigned
full-for-install          | 1m   | A=300k B=800k     | A  - B - | -                   | FUX  | 0      | (819200 bytes) does not fit | A - B - | unsigned
full-during-install       | 1m   | A=300k B=400k     | A  - B - | fill-at-install     | FUCX | 0      | cp:                | A  A B -  | unsigned copy
rename-full-during-install    | 1m | A=300k B=400k  | A  - B - | fill-at-install     | FUCX | 0      | cp:                | A  -  B - | unsigned rename
full-no-fallback-kept     | 1m   | B=800k O=300k     | -  O B - | fill-300k           | FUX  | 0      | does not fit       | -  O B -  | unsigned
killed-during-install     | 4m   | A=64k B=96k O=32k | A  O B - | kill-install        | FUC  | killed | *                  | B< A B M  | unsigned copy
rename-killed-during-install  | 4m | A=64k B=96k O=32k | A O B - | kill-install      | FUC  | killed | *                  | A  - B -  | unsigned rename
rerun-after-kill          | 4m   | A=64k B=96k       | B< A B M | -                   | FUCD | 0      | -                  | B  A B -  | unsigned
cut-between-renames       | 4m   | A=64k B=96k       | -  A B - | new-image-left      | FUCD | 0      | cannot read        | B  A B -  | unsigned rename
rerun-already-complete    | 4m   | A=64k B=96k       | B  A B M | -                   | F    | 0      | -                  | B  A B -  | unsigned
rerun-fails-again         | 1m   | A=300k B=800k     | B< A B M | -                   | FUX  | 0      | does not fit       | B< A B M  | unsigned
term-during-fallback      | 4m   | A=64k B=96k O=32k | A  O B - | term-fallback       | FUCX | 0      | stopped by         | A  -  B - | unsigned copy
term-during-install       | 4m   | A=64k B=96k O=32k | A  O B - | term-install        | FUCX | 0      | stopped by         | B< A B M  | unsigned copy
rename-term-during-install    | 4m | A=64k B=96k O=32k | A O B - | term-install      | FUCX | 0      | stopped by         | A  - B -  | unsigned rename
large-images              | 16g  | G=2049ms H=2050ms | G  - H - | -                   | FUCD | 0      | -                  | H  G H -  | unsigned confirmed large
two-runs-at-once          | 256m | A=32m B=48m       | A  - B - | second-run          | FUCD | 0      | -                  | B  A B -  | unsigned
waits-for-the-lock        | 4m   | A=64k B=96k       | A  - B - | lock-held           | FUCD | 0      | -                  | B  A B -  | unsigned
sigchld-ignored           | 4m   | A=64k B=96k       | A  - B - | sigchld-ignored     | FUCD | 0      | -                  | B  A B -  | unsigned
stdout-closed             | 4m   | A=64k B=96k       | A  - B - | stdout-closed       | -    | 0      | -                  | B  A B -  | unsigned
flushed-in-order          | 4m   | A=64k B=96k O=32k | A  O B - | trace               | FUCD | 0      | -                  | B  A B -  | unsigned strace
stick-serves-other-bytes  | 4m   | A=64k B=96k O=32k | A  O B - | cp-other-bytes      | FUCX | 0      | reads back         | A  A B -  | unsigned copy
rename-stick-serves-other-bytes | 4m | A=64k B=96k O=32k | A O B - | cp-other-bytes  | FUCX | 0      | reads back         | A  - B -  | unsigned rename
fallback-spoilt-on-medium | ext4 | A=64k B=96k O=32k | A  O B - | medium-fallback     | FUCX | 0      | reads back         | A  -  B - | unsigned ext4 copy
install-spoilt-on-medium  | ext4 | A=64k B=96k O=32k | A  O B - | medium-install      | FUCX | 0      | reads back         | A  A B -  | unsigned ext4 copy
rename-install-spoilt-on-medium | ext4 | A=64k B=96k O=32k | A O B - | medium-install | FUCX | 0      | reads back         | A  - B -  | unsigned rename ext4
unsigned-ignores-sig      | 4m   | A=64k B=96k       | A  - B - | sig-fifo            | FUCD | 0      | -                  | B  A B -  | unsigned
events-log-install        | 4m   | A=64k B=96k       | A  - B - - | -                 | FUCD | 0      | -                  | B  A B - install-complete | unsigned events
events-log-numbered-on    | 4m   | A=64k B=96k       | A  - B - L | -                 | FUCD | 0      | -                  | B  A B - install-complete | unsigned events
events-log-cut-line       | 4m   | A=64k B=96k       | A  - B - C | -                 | FUCD | 0      | -                  | B  A B - install-complete | unsigned events
events-log-halved         | 4m   | A=64k B=96k       | A  - B - F | -                 | FUCD | 0      | -                  | B  A B - install-complete | unsigned events
events-log-install-failed | 4m   | A=64k B=96k O=32k | A  O B - L | cp-other-bytes    | FUCX | 0      | reads back         | A  A B - install-failed | unsigned events copy
events-log-finished       | 4m   | A=64k B=96k       | B  A B M - | -                 | F    | 0      | -                  | B  A B - install-finished | unsigned events
events-log-unreadable     | 4m   | A=64k O=32k       | A  O - - L | -                 | FR   | 0      | cannot read        | A  O - - update-unreadable | events
events-log-rejected       | 4m   | A=64k B=96k O=32k | A  O B - L | sig-other-key     | FJ   | 0      | made with key      | A  O B - update-rejected | signed events
events-log-signed-install | 4m   | A=64k B=96k O=32k | A  O B - - | sig-manifest      | FUCD | 0      | -                  | B  A B - install-complete | signed events
events-log-refused        | 4m   | B=96k O=32k       | /  O B - - | -                 | FUX  | 0      | not a regular file | /  O B - update-refused | unsigned events
events-log-nothing-to-do  | 4m   | A=64k             | A  - A - L | -                 | F    | 0      | -                  | A  - A - = | unsigned events
events-log-directory      | 4m   | A=64k O=32k       | A  O - - / | -                 | FR   | 0      | cannot write the event log | A O - - / | events
events-log-link           | 4m   | A=64k O=32k       | A  O - - l | -                 | FR   | 0      | cannot write the event log | A O - - l | events
events-log-fifo           | 4m   | A=64k O=32k       | A  O - - p | -                 | FR   | 0      | cannot write the event log | A O - - p | events
events-log-read-only      | 4m   | A=64k O=32k       | A  O - - - | read-only         | FR   | 0      | cannot write the event log | A O - - - | events
events-log-full           | 4m   | A=64k O=32k       | A  O - - - | fill-all          | FR   | 0      | cannot write the event log | A O - - - | events
events-log-halving-no-room | 4m | A=64k O=32k       | A  O - - F | fill-but-8k       | FR   | 0      | cannot write the event log | A O - - = | events
events-log-nul-tail       | 4m   | A=64k O=32k       | A  O - - Z | -                 | FR   | 0      | cannot read        | A  O - - update-unreadable | events
signed-valid              | 4m   | A=64k B=96k O=32k | A  O B - | sig-valid           | FUCD | 0      | -                  | B  A B -  | signed digest-only
signed-last-key           | 4m   | A=64k B=96k O=32k | A  O B - | sig-last-key        | FUCD | 0      | -                  | B  A B -  | signed digest-only
signed-manifest           | 4m   | A=64k B=96k O=32k | A  O B - | sig-manifest        | FUCD | 0      | -                  | B  A B -  | signed
signed-manifest-size      | 4m   | A=64k B=96k O=32k | A  O B - | sig-manifest-size   | FJ   | 0      | 98305 bytes, not 98304 | A O B - | signed
signed-manifest-changed   | 4m   | A=64k B=96k O=32k | A  O B - | sig-manifest-changed | FJ  | 0      | does not verify    | A  O B -  | signed
signed-no-entropy         | 4m   | A=64k B=96k       | A  - B - | sig-valid-strace    | FUCD | 0      | -                  | B  A B -  | signed digest-only strace
signed-identical          | 4m   | A=64k             | A  - A - | sig-none            | F    | 0      | -                  | A  - A -  | signed
signed-missing            | 4m   | A=64k B=96k O=32k | A  O B - | sig-none            | FJ   | 0      | no signature       | A  O B -  | signed
signed-other-key          | 4m   | A=64k B=96k O=32k | A  O B - | sig-other-key       | FJ   | 0      | made with key      | A  O B -  | signed
signed-tampered           | 4m   | A=64k B=96k O=32k | A  O B - | sig-tampered        | FJ   | 0      | does not verify    | A  O B -  | signed
signed-other-file         | 4m   | A=64k B=96k O=32k | A  O B - | sig-other-file      | FJ   | 0      | does not verify    | A  O B -  | signed
signed-sig-is-fifo        | 4m   | A=64k B=96k O=32k | A  O B - | sig-fifo            | FJ   | 0      | not a regular file | A  O B -  | signed
signed-sig-is-directory   | 4m   | A=64k B=96k O=32k | A  O B - | sig-directory       | FJ   | 0      | not a regular file | A  O B -  | signed
signed-sig-is-huge        | 4m   | A=64k B=96k O=32k | A  O B - | sig-huge            | FJ   | 0      | too large          | A  O B -  | signed
signed-resume             | 4m   | A=64k B=96k       | B  A B M | sig-valid           | F    | 0      | -                  | B  A B -  | signed digest-only
signed-resume-unsigned    | 4m   | A=64k B=96k       | B  A B M | sig-none            | FJ   | 0      | no signature       | B  A B M  | signed
trial-confirmed-is-kept   | 4m   | A=64k B=96k O=32k | A  O B - | trial:->0           | FUCD | 0      | -                  | B  A B -  | unsigned trial
trial-on-trial-not-kept   | 4m   | A=64k B=96k O=32k | A  O B - | trial:1>0           | FUCD | 0      | -                  | B  O B -  | unsigned trial
trial-rejected-not-kept   | 4m   | A=64k B=96k O=32k | A  O B - | trial:R>0           | FUCD | 0      | -                  | B  O B -  | unsigned trial
trial-same-stays-on-trial | 4m   | A=64k B=96k       | B  A B - | trial:2>2           | F    | 0      | -                  | B  A B -  | trial
trial-same-rejected       | 4m   | A=64k B=96k       | B  A B - | trial:R>R           | F    | 0      | -                  | B  A B -  | trial
trial-resume-begins       | 4m   | A=64k B=96k       | B  A B M | trial:->0           | F    | 0      | -                  | B  A B -  | unsigned trial
trial-state-directory     | 4m   | A=64k B=96k O=32k | A  O B - | trial:/>/           | FUX  | 0      | not a regular file | A  O B -  | unsigned trial
trial-alone-is-kept       | 4m   | A=64k B=96k       | A  - B - | trial:1>0           | FUCD | 0      | -                  | B  A B -  | unsigned trial
trial-alone-restored      | 1m   | A=300k B=800k     | A  - B - | trial:1>1           | FUX  | 0      | does not fit       | A  - B -  | unsigned trial
trial-alone-full-for-fallback | 1m | A=600k B=200k   | A  - B - | trial:1>1           | FUX  | 0      | does not fit       | A  -  B - | unsigned trial copy
trial-room-for-its-count  | 1m   | A=300k B=720k O=300k | A O B - | trial:->-          | FUX  | 0      | does not fit       | A  O B -  | unsigned trial
trial-room-for-its-count-fits | 1m | A=300k B=712k O=300k | A O B - | trial:->0          | FUCD | 0      | -                  | B  A B -  | unsigned trial
trial-new-is-fifo         | 4m   | A=64k B=96k O=32k | A  O B - | trial:-p>-p         | FUX  | 0      | not a regular file | A  O B -  | unsigned trial
trial-resume-new-is-fifo  | 4m   | A=64k B=96k       | B  A B M | trial:-p>-p         | FX   | 0      | not a regular file | B  A B M  | unsigned trial
squashfs-whole            | 4m   | A=sqfs B=sqfs     | A  - B - | -                   | FUCD | 0      | -                  | B  A B -  | squashfs
squashfs-half             | 4m   | A=sqfs B=sqfs     | A  - B< - | -                  | FR   | 0      | cut short          | A  - B< - | squashfs
squashfs-not-squashfs     | 4m   | A=sqfs B=96k      | A  - B - | -                   | FR   | 0      | no "hsqs" magic    | A  - B -  | squashfs
squashfs-zero-tail        | 4m   | A=sqfs B=sqfs     | A  - B - | sqfs-zero-tail      | FR   | 0      | id table is missing | A  - B - | squashfs
squashfs-version-3        | 4m   | A=sqfs B=sqfs     | A  - B - | sqfs-v3             | FR   | 0      | version 3.0        | A  - B -  | squashfs
key-first                 | 4m   | A=64k B=96k O=32k | A  O B - | man:7:test-board:-:->*  | FUCD | 0  | -                  | B  A B -  | signed compatible
key-second                | 4m   | A=64k B=96k O=32k | A  O B - | man@second:7:test-board:-:->* | FUCD | 0 | -            | B  A B -  | signed second-key compatible
key-unknown               | 4m   | A=64k B=96k O=32k | A  O B - | man@third:7:test-board:-:->- | FJ | 0 | made with key       | A  O B -  | signed compatible
compatible-other          | 4m   | A=64k B=96k O=32k | A  O B - | man:7:other-board:-:->- | FJ   | 0  | is for other-board | A  O B -  | signed compatible
compatible-missing        | 4m   | A=64k B=96k O=32k | A  O B - | man:7:-:-:->-       | FJ   | 0      | names no compatible device | A O B - | signed compatible
compatible-digest-only    | 4m   | A=64k B=96k O=32k | A  O B - | sig-valid           | FJ   | 0      | names no compatible device | A O B - | signed compatible
version-none              | 4m   | A=64k B=96k O=32k | A  O B - | man:-:test-board:-:->- | FJ  | 0      | names no version   | A  O B -  | signed compatible rollback
version-below-floor       | 4m   | A=64k B=96k O=32k | A  O B - | man:4:test-board:5:->5 | FJ  | 0      | version 4 is below this | A O B - | signed compatible rollback
version-at-floor          | 4m   | A=64k B=96k O=32k | A  O B - | man:5:test-board:5:->5 | FUCD | 0    | -                  | B  A B -  | signed compatible rollback
version-above-floor       | 4m   | A=64k B=96k O=32k | A  O B - | man:6:test-board:5:->6 | FUCD | 0    | -                  | B  A B -  | signed compatible rollback confirmed
version-above-on-trial    | 4m   | A=64k B=96k O=32k | A  O B - | man:6:test-board:5:->5 | FUCD | 0    | -                  | B  A B -  | signed compatible rollback trial
version-no-floor-yet      | 4m   | A=64k B=96k O=32k | A  O B - | man:0:test-board:-:->0 | FUCD | 0    | -                  | B  A B -  | signed compatible rollback confirmed
version-record-counts     | 4m   | A=64k B=96k O=32k | A  O B - | man:4:test-board:3:5>3 | FJ  | 0      | version floor 5    | A O B - | signed compatible rollback
version-floor-unreadable  | 4m   | A=64k B=96k O=32k | A  O B - | man:4:test-board:x:5>x | FJ  | 0      | version floor 5    | A O B - | signed compatible rollback
version-floor-rewritten   | 4m   | A=64k B=96k O=32k | A  O B - | man:5:test-board:x:5>5 | FUCD | 0    | -                  | B  A B -  | signed compatible rollback confirmed
version-resume-below      | 4m   | A=64k B=96k       | B  A B M | man:4:test-board:5:->5 | FJ  | 0      | version floor 5    | B A B M | signed compatible rollback
version-resume-at         | 4m   | A=64k B=96k       | B  A B M | man:5:test-board:5:->5 | F   | 0      | -                  | B  A B -  | signed compatible rollback
version-floor-mended      | 4m   | A=64k B=96k O=32k | A  O B - | man:7:test-board:5:6>6 | FUCD | 0    | -                  | B  A B -  | signed compatible rollback trial
'

# Runs one row of the table; called inside its own mount namespace.
run_one() {
    local row=$1 name size payloads before fault out status errtext after tags
    read_row "$row" name size payloads before fault out status errtext after tags

    mount -t tmpfs -o size=1g,mode=0755 scratch /mnt
    mkdir /mnt/usb /mnt/imgpart /mnt/ref /mnt/bin
    mount -t tmpfs -o mode=0755 usb /mnt/usb
    if [[ $size == ext4 ]]; then
        truncate -s 32m /mnt/imgpart.ext4
        mkfs.ext4 -q -F -b 4096 /mnt/imgpart.ext4
        mount -o loop /mnt/imgpart.ext4 /mnt/imgpart
    else
        mount -t tmpfs -o "size=$size,mode=0755" imgpart /mnt/imgpart
    fi
    make_payloads "$payloads"
    place_partition "$before"

    local -a args=() wrap=()
    local got stamped
    inject_fault "$fault"
    stamped=$(stamps)
    run_under_fault "$fault"
    check_outcome "$got" "$out" "$status" "$errtext" "$after" "$stamped"
    check_fault_outcome "$fault"
}

# The rows whose runs end before any signature is looked at, whatever keys,
# model or version floor a build has (the tool decides "could not be read"
# and "nothing to do" first): those that expect "Firmware update found."
# alone or with "could not be read.", with no install cut off before them;
# in a build with the image check, only the latter (any update that is no
# whole squashfs image is unreadable there).
rows_before_the_signature() {
    awk -F'|' -v check="$SCENARIO_IMAGE_CHECK" 'NF == 10 {
        for (i = 1; i <= NF; i++) gsub(/^ +| +$/, "", $i)
        if ($4 ~ / M$/) next
        if ($6 == "FR" || ($6 == "F" && check == "")) print $1
    }' <<<"$table" | paste -sd' '
}

# Checks that the version string names the keys the build trusts, for
# `strings`, and its other options; counts in passed or failed.
check_version() {
    local tool=$1 key numbers="" modes
    local -a keys
    read -r -a keys <<<"${SCENARIO_TRUSTED:-test}"
    for key in "${keys[@]}"; do
        numbers+=" $(sed -n 2p "$SCENARIO_KEYS/$key.pub" | base64 -d | od -An -tx1 -j2 -N8 | tr -d ' \n')"
    done
    modes="signed updates, key$numbers"
    ((${#keys[@]} == 1)) || modes="signed updates, keys$numbers"
    [[ -z ${SCENARIO_COMPATIBLE:-} ]] || modes+="; compatible $SCENARIO_COMPATIBLE"
    [[ -z ${SCENARIO_ROLLBACK:-} ]] || modes+="; rollback protection"
    [[ -z ${SCENARIO_TRIAL:-} ]] || modes+="; trial boots [0-9]*"
    ! grep -a -q 'event log' "$tool" || modes+="; event log"
    if strings "$tool" | grep -x "init-updater [0-9.]* ($modes)" >/dev/null; then
        echo "ok   version-names-the-key"
        passed=$((passed + 1))
    else
        echo "FAIL version-names-the-key: no 'init-updater ... ($modes)'"
        failed=$((failed + 1))
    fi
}

main() {
    run_one_if_asked "$@"
    require_tool_and_namespace "$@"
    local tool
    tool=$(readlink -f "$1")
    shift

    local passed=0 failed=0 skipped=0 left_out=0 only=${SCENARIOS:-} row
    describe_build "$tool"
    local tags=$BUILD_TAGS
    if [[ -n $BEFORE_SIGNATURE ]]; then
        tags+=" unsigned"
        echo "scenarios: the build's signatures cannot be made here: only the rows that end before any signature is looked at"
        local before
        before=$(rows_before_the_signature)
        if [[ -n $only ]]; then
            # (run_rows takes names parted by newlines.)
            only=$(for row in $only; do [[ " $before " != *" $row "* ]] || echo "$row"; done)
        else
            only=$before
        fi
    fi
    run_rows "$here/scenarios.sh" "$table" "$tags" "$only" "" "$tool" "$@"
    [[ " $BUILD_TAGS " != *" signed "* ]] || check_version "$tool"
    close_table scenarios
}

main "$@"
