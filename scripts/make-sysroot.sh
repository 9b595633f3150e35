#!/usr/bin/env bash
# Makes the Debian 12 sysroot a cross build compiles against and qemu-user runs the tests in,
# unless one made from the same package list is already there.
#   bash scripts/make-sysroot.sh ARCH [DIR]      ARCH: arm64 or armhf; DIR: sysroots/ARCH
#   bash scripts/make-sysroot.sh windows-arm64 [DIR]    Debian's arm64 Wine, which runs the
#       Windows DLL for ARM64 under qemu-aarch64 (tests/wine/wine_qemu.sh)
# The packages of ARCH that the library, the command line and the tests build against, with
# ALSA's plugins and the target's own Python and pytest, come from the Debian mirrors this
# machine's apt uses. They are only extracted (mmdebstrap --variant=extract): nothing of the
# target runs, so no emulation is needed, and the packages of ARCH need not match the
# machine's own versions.
set -euo pipefail
cd "$(dirname "$0")/.."
name=${1:?usage: make-sysroot.sh ARCH [DIR]}
dir=${2:-sysroots/$name}
bash scripts/install-deps.sh "$name"

case "$name" in
  windows-arm64) arch=arm64 packages=(wine64) ;;
  *) arch=$name packages=(libc6-dev libstdc++-12-dev libcurl4-openssl-dev libasound2-dev
       libasound2-plugins libgtest-dev nlohmann-json3-dev zlib1g-dev libssl-dev python3 python3-pytest) ;;
esac
stamp="$dir/.ombrivoice-sysroot"
wanted="$arch ${packages[*]}"
if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$wanted" ]; then exit 0; fi
if [ -e "$dir" ] && [ ! -f "$stamp" ] && [ -n "$(ls -A "$dir")" ]; then
  echo "make-sysroot.sh: $dir is not empty and was not made here; name another folder" >&2
  exit 1
fi

# The machine's Debian suites (its release, updates and security), as apt knows them.
debian_sources() {
  apt-get indextargets --format '$(REPO_URI) $(RELEASE) $(COMPONENT)' 'Identifier: Packages' 'Origin: Debian' |
    sort -u
}
if [ -z "$(debian_sources)" ]; then apt-get update -qq; fi
mirrors=()
while read -r uri suite component; do
  mirrors+=("deb [arch=$arch] $uri $suite $component")
done < <(debian_sources)
if [ ${#mirrors[@]} -eq 0 ]; then
  echo "make-sysroot.sh: apt knows no Debian mirror on this machine" >&2
  exit 1
fi
. /etc/os-release

# This machine has no binfmt_misc entry for arm64, and the tree's wineserver script starts the
# machine's own x86-64 server by its absolute path, which refuses an arm64 client. So the loader,
# which Wine also execs for each new Windows process, and the server become scripts that run
# the tree's arm64 programs under qemu-aarch64 with the tree as the library root. Both find the
# tree from their own place, so the tree may be moved.
route_wine_through_qemu() {
  local wine="$1/usr/lib/wine"
  mv "$wine/wine64" "$wine/wine64.aarch64"
  cat >"$wine/wine64" <<'EOF'
#!/bin/sh
root=$(dirname "$(readlink -f "$0")")/../../..
exec qemu-aarch64 -L "$root" -0 "$0" "$root/usr/lib/wine/wine64.aarch64" "$@"
EOF
  cat >"$wine/wineserver" <<'EOF'
#!/bin/sh
root=$(dirname "$(readlink -f "$0")")/../../..
exec qemu-aarch64 -L "$root" "$root/usr/lib/wine/wineserver64" "$@"
EOF
  chmod 755 "$wine/wine64" "$wine/wineserver"
}

# The indexes are fetched by a hook so that one suite whose index the mirror serves half
# updated (not the size or hash its Release file names) is left out, with apt's error shown,
# instead of failing the whole sysroot: the packages then come from the other suites. The
# sysroot is made beside its place and moved there whole, so a failed run leaves none.
echo "making the $arch sysroot in $dir" >&2
partial="$dir.partial"
rm -rf "$partial"
mkdir -p "$partial"
mmdebstrap --quiet --variant=extract --architectures="$arch" \
  --setup-hook='APT_CONFIG="$MMDEBSTRAP_APT_CONFIG" apt-get update -qq ||
                echo "W: the sysroot is made without the indexes apt could not fetch" >&2' \
  --include="$(IFS=,; echo "${packages[*]}")" "$VERSION_CODENAME" "$partial" "${mirrors[@]}"
# Links that name their target by an absolute path (libz.so -> /lib/...) would lead out of the
# sysroot on this machine, and a build would miss the library: they are made relative.
find "$partial" -type l -lname '/*' | while read -r link; do
  target="$partial$(readlink "$link")"
  if [ -e "$target" ]; then ln -sfr "$target" "$link"; fi
done
if [ "$name" = windows-arm64 ]; then route_wine_through_qemu "$partial"; fi
echo "$wanted" >"$partial/.ombrivoice-sysroot"
rm -rf "$dir"
mv "$partial" "$dir"
