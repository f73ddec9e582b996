#!/bin/sh
# Makes the fuzz targets' seed corpora with signify, and an empty working
# corpus beside each (libFuzzer adds what it finds to the first directory it
# is given, so the seeds stay as made):
#   OUT/seeds/signature    detached and embedded signatures of the fuzzed
#                          update by both fuzz keys, one by a key not
#                          trusted, and a manifest alone
#   OUT/seeds/public_key   both public keys
#   OUT/seeds/digest_line  lines as sha512sum prints them, one escaped
#   OUT/seeds/squashfs     a squashfs image's size and superblock, whole and
#                          cut to half (with mksquashfs), and a bare magic
#   OUT/work/<target>      empty
# Usage: make-seeds.sh OUT KEYS DIGEST SIZE SIGNIFY
#   KEYS holds test.sec, test.pub, second.sec and second.pub; DIGEST and SIZE
#   are the fuzzed update's.
set -eu
out=$1 keys=$2 digest=$3 size=$4 signify=$5

rm -rf "$out"
mkdir -p "$out/seeds/signature" "$out/seeds/public_key" "$out/seeds/digest_line" \
    "$out/seeds/squashfs" "$out/work/signature" "$out/work/public_key" "$out/work/digest_line" \
    "$out/work/squashfs" "$out/tmp"
seeds=$out/seeds tmp=$out/tmp

printf '%s\n' "$digest" >"$tmp/digest"
printf 'sha512 %s\nsize %s\n' "$digest" "$size" >"$tmp/manifest"
{
    cat "$tmp/manifest"
    printf 'version 9223372036854775807\ncompatible kestran-a1.2_b+c\n'
} >"$tmp/manifest-full"
cp "$tmp/manifest-full" "$seeds/signature/manifest"
for key in test second; do
    "$signify" -S -s "$keys/$key.sec" -m "$tmp/digest" -x "$seeds/signature/detached-$key"
    "$signify" -S -e -s "$keys/$key.sec" -m "$tmp/manifest" -x "$seeds/signature/embedded-$key"
    cp "$keys/$key.pub" "$seeds/public_key/$key"
done
"$signify" -S -e -s "$keys/test.sec" -m "$tmp/manifest-full" -x "$seeds/signature/embedded-full"
"$signify" -G -n -p "$tmp/other.pub" -s "$tmp/other.sec"
"$signify" -S -s "$tmp/other.sec" -m "$tmp/digest" -x "$seeds/signature/detached-other"

printf '%s  /mnt/usb/kestran.fir\n' "$digest" >"$seeds/digest_line/plain"
printf '\\%s  /mnt/usb/kestran\\nfir\n' "$digest" >"$seeds/digest_line/escaped"
# A squashfs image's size (8 bytes, little-endian) and its first 96 bytes,
# and the same cut to half its size.
if command -v mksquashfs >/dev/null 2>&1; then
    mkdir "$tmp/root"
    printf '%s\n' "$digest" >"$tmp/root/file"
    mksquashfs "$tmp/root" "$tmp/image" -quiet -no-progress >/dev/null
    image_size=$(wc -c <"$tmp/image")
    for name_size in "whole:$image_size" "half:$((image_size / 2))"; do
        n=${name_size#*:}
        # shellcheck disable=SC2059 # the format is made here, of octal escapes
        printf "$(printf '\\%03o' $((n & 255)) $((n >> 8 & 255)) $((n >> 16 & 255)) \
            $((n >> 24 & 255)) 0 0 0 0)" >"$seeds/squashfs/${name_size%%:*}"
        head -c 96 "$tmp/image" >>"$seeds/squashfs/${name_size%%:*}"
    done
fi
printf 'hsqs' >"$seeds/squashfs/magic-only"
rm -rf "$tmp"
