# Where things are on the disks of the media faults (faults.sh): sectors of
# files on the stick and on the image partition, free space, and counts from
# a QEMU trace of the SCSI commands.
# shellcheck shell=bash
# shellcheck disable=SC2154 # the settings of lib/common.sh, sourced first

readonly part_sector=$((part_offset / 512))

# The first and last sector of kestran.fir on the vfat stick image $1 (it
# must be in one piece, as on a stick made by make_stick).
stick_file_sectors() {
    local info spc reserved fats fatlen chain first last
    info=$(minfo -i "$1@@$part_offset" ::)
    spc=$(sed -n 's/^cluster size: \([0-9]*\) sectors$/\1/p' <<<"$info")
    reserved=$(sed -n 's/^reserved (boot) sectors: \([0-9]*\)$/\1/p' <<<"$info")
    fats=$(sed -n 's/^fats: \([0-9]*\)$/\1/p' <<<"$info")
    fatlen=$(sed -n 's/^Big fatlen=\([0-9]*\)$/\1/p' <<<"$info")
    [[ -n $fatlen ]] || fatlen=$(sed -n 's/^sectors per fat: \([0-9]*\)$/\1/p' <<<"$info")
    chain=$(mshowfat -i "$1@@$part_offset" ::kestran.fir)
    [[ $chain =~ \<([0-9]+)-([0-9]+)\>$ ]] ||
        die "kestran.fir on $1 is not in one piece: $chain"
    first=$((part_sector + reserved + fats * fatlen + (BASH_REMATCH[1] - 2) * spc))
    last=$((part_sector + reserved + fats * fatlen + (BASH_REMATCH[2] - 1) * spc - 1))
    local size
    size=$(stat -c %s "$work/v2.sqsh")
    ((last - first + 1 >= (size + 511) / 512)) || die "kestran.fir on $1 is shorter than v2"
    echo "$first $((first + (size + 511) / 512 - 1))"
}

ext4_block_size() {
    debugfs -R stats "$1?offset=$part_offset" 2>/dev/null | awk -F: '/^Block size/ { print $2 + 0 }'
}

# The extents of /$2 on the ext4 partition of the disk image $1, as sectors
# of the disk: "FIRST LAST" a line.
ext4_ranges() {
    local bs extent physical a b
    bs=$(ext4_block_size "$1")
    for extent in $(debugfs -R "stat /$2" "$1?offset=$part_offset" 2>/dev/null |
        grep -o '([0-9][0-9-]*):[0-9][0-9-]*'); do
        physical=${extent#*:}
        a=${physical%-*} b=${physical#*-}
        echo "$((part_sector + a * bs / 512)) $((part_sector + (b + 1) * bs / 512 - 1))"
    done
}

# The sectors of the block holding $3 percent of the way through /$2 on the
# disk image $1, space-separated.
ext4_block_at() {
    local bs size block first i sectors=()
    bs=$(ext4_block_size "$1")
    size=$(debugfs -R "stat /$2" "$1?offset=$part_offset" 2>/dev/null |
        sed -n 's/.*Size: \([0-9]*\).*/\1/p' | sed -n 1p)
    [[ -n $size && -n $bs ]] || die "no /$2 on $1"
    block=$(debugfs -R "bmap /$2 $((size * $3 / 100 / bs))" "$1?offset=$part_offset" 2>/dev/null)
    [[ $block =~ ^[1-9][0-9]*$ ]] || die "no block at $3% of /$2 on $1"
    first=$((part_sector + block * bs / 512))
    for ((i = 0; i < bs / 512; i++)); do sectors+=($((first + i))); done
    echo "${sectors[*]}"
}

# One sector every 512 KiB of the free space (runs of 64 blocks or more) on
# the ext4 partition of the disk image $1, space-separated: wherever ext4
# puts a new image, it covers some of them. (Where it puts one depends on
# timing: the block bitmaps are read in the background after the mount, and
# the allocator picks other groups before it knows them all.)
free_space_sectors() {
    local bs stride range a b x sectors=()
    bs=$(ext4_block_size "$1")
    stride=$((512 * 1024 / bs))
    for range in $(dumpe2fs "$1?offset=$part_offset" 2>/dev/null |
        sed -n 's/^ *Free blocks: \(.*\)$/\1/p' | tr ',' ' '); do
        a=${range%-*} b=${range#*-}
        ((b - a + 1 >= 64)) || continue
        for ((x = a + (b - a) % stride / 2; x <= b; x += stride)); do
            sectors+=($((part_sector + x * bs / 512)))
        done
    done
    ((${#sectors[@]} > 0)) || die "no free space on $1"
    echo "${sectors[*]}"
}

# The SCSI commands in the QEMU trace $1 (scsi_req_parsed events), in order:
# "LUN OPCODE LBA SECTORS" a line; opcodes in decimal: 40 READ(10), 42
# WRITE(10), 53 SYNCHRONIZE CACHE(10).
trace_commands() {
    awk '{ sub(/^.*scsi_req_parsed/, "scsi_req_parsed") }
        $1 == "scsi_req_parsed" { n++; lun[n] = $5; tag[n] = $7; op[n] = $9; len[n] = $13 }
        $1 == "scsi_req_parsed_lba" && n > 0 && tag[n] == $7 { lba[n] = $11 }
        END { for (i = 1; i <= n; i++) print lun[i], op[i], (i in lba) ? lba[i] : 0, int(len[i] / 512) }' "$1"
}

# How many reads of the stick (LUN 0) in trace $1 come up to the first one
# that covers sector $2.
reads_through() {
    trace_commands "$1" | awk -v s="$2" '$1 == 0 && $2 == 40 && !found {
        n++; if ($3 <= s && s < $3 + $4) { print n; found = 1 } }'
}

# Which flush of the image disk (LUN 1) in trace $1, counted as blkdebug
# counts flush_to_disk events (only a flush with a write before it since the
# last one reaches the disk), is the first after a write into the sectors
# "FIRST LAST" on standard input.
flush_after_writes_to() {
    local ranges
    ranges=$(tr '\n' ' ')
    trace_commands "$1" | awk -v r="$ranges" '
        BEGIN { k = split(r, x, " ") }
        $1 == 1 && $2 == 42 {
            dirty = 1
            for (i = 1; i < k; i += 2) if ($3 <= x[i + 1] && x[i] < $3 + $4) hit = 1
        }
        $1 == 1 && $2 == 53 && dirty && !found { n++; dirty = 0; if (hit) { print n; found = 1 } }'
}
