#!/usr/bin/env bash
# Shows that the release is reproducible: builds it (scripts/release.sh) twice
# from this checkout's last commit, in two clones in different directories
# under /tmp, one after the other, and compares the results byte for byte:
# the archive, the package, kestran-sign and its manual page, SHA256SUMS,
# and the linked binary before it was stripped. Run as root, like scripts/release.sh.
set -euo pipefail
cd "$(dirname "$0")/../.."

commit=$(git rev-parse HEAD)
work=$(mktemp -d /tmp/kestran-reproduce.XXXXXX)
trap 'rm -rf "$work"' EXIT
builds=("$work/first" "$work/second/in/another/directory")
masks=(022 002) # checkouts made under different umasks give different modes
for i in 0 1; do
    dir=${builds[i]}
    (umask "${masks[i]}" && git clone -q --no-hardlinks "$PWD" "$dir")
    git -C "$dir" checkout -q --detach "$commit"
    echo "== release build in $dir ($(date -u +%H:%M:%S))" >&2
    bash "$dir/scripts/release.sh" >/dev/null
done

first=${builds[0]} second=${builds[1]}
fail() {
    echo "reproducible: FAIL: $*" >&2
    exit 1
}
[[ $(find "$first/build/release" -type f | wc -l) == 5 ]] ||
    fail "not five files in build/release (archive, package, kestran-sign and its page, SHA256SUMS)"
diff -r "$first/build/release" "$second/build/release" || fail "the release files differ"
cmp "$first/build/release-tree/init-updater" "$second/build/release-tree/init-updater" ||
    fail "the unstripped binaries differ"
echo "SHA256SUMS of the build in $first:"
cat "$first/build/release/SHA256SUMS"
echo "SHA256SUMS of the build in $second:"
cat "$second/build/release/SHA256SUMS"
echo "reproducible: two builds of $commit in two directories are identical: 1 passed, 0 failed"
