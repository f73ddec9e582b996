#!/usr/bin/env bash
# Shows that the release is reproducible: builds it (scripts/release.sh) twice
# from this checkout's last commit, in two clones in different directories
# under /tmp, one after the other, and compares the results byte for byte:
# the archive, the package, kestran-sign and its manual page, SHA256SUMS,
# and the linked binary before it was stripped. Then makes a device maker's
# release (options and a version suffix) in the first clone, which
# scripts/release.sh checks as it checks the plain one. Run as root, like
# scripts/release.sh.
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
echo "reproducible: two builds of $commit in two directories are identical"

# A device maker's release, in the first clone: two keys (made here), one
# model, rollback protection, three trial boots, the squashfs check, the
# suffix +acme1, by the command docs/releases.md gives; scripts/release.sh
# checks it as it checks the plain one. Its package must say what it is.
keys=$work/keys
mkdir "$keys"
for key in a b; do
    signify-openbsd -G -n -c "acme $key" -p "$keys/$key.pub" -s "$keys/$key.sec"
done
echo "== configured release build in $first ($(date -u +%H:%M:%S))" >&2
(cd "$keys" && bash "$first/scripts/release.sh" --version-suffix +acme1 \
    -DUPDATER_SIGNING_KEY="a.pub;b.pub" -DUPDATER_COMPATIBLE=acme-board \
    -DUPDATER_ROLLBACK_PROTECTION=ON -DUPDATER_TRIAL_BOOTS=3 -DUPDATER_IMAGE_CHECK=squashfs) >/dev/null
deb=$first/build/release/init-updater_1.3.0+acme1_armhf.deb
[[ -f $deb && -f $first/build/release/init-updater-1.3.0+acme1-armv6hf.tar.gz ]] ||
    fail "the configured release's files are not named 1.3.0+acme1: $(ls "$first/build/release")"
[[ $(dpkg-deb -f "$deb" Version) == 1.3.0+acme1 ]] || fail "the configured package is not 1.3.0+acme1"
readme=$(dpkg-deb --fsys-tarfile "$deb" | tar -xO ./usr/share/doc/init-updater/README)
grep -q "^  - installs only updates signed with one of the 2 keys it was built with$" <<<"$readme" ||
    fail "the configured package's README does not say it takes two keys"
echo "reproducible: a configured release (+acme1, two keys) is named and described as such"
echo "reproducible: 2 passed, 0 failed"
