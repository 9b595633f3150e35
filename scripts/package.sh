#!/usr/bin/env bash
# Builds the Debian packages with debhelper and checks them with lintian. Leaves in dist/:
# libtolvexombrivoice1, libtolvexombrivoice-dev, ombrivoice, ombrivoice-service and
# python3-ombrivoice, with their .changes and .buildinfo. The version is the VERSION file's.
#   bash scripts/package.sh
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
version=$(head -n 1 VERSION)
stage="build-package"
source_dir="$stage/tolvexombrivoice-$version"

# A clean copy of the sources (what git tracks and still exists, and new files it does not
# ignore), so that no build folder goes into the package build.
rm -rf "$stage"
mkdir -p "$source_dir"
git ls-files -co --exclude-standard -z |
  while IFS= read -r -d '' file; do [ -e "$file" ] && printf '%s\0' "$file"; done |
  xargs -0 tar -cf - | tar -xf - -C "$source_dir"
# The man pages name the version too: the packaged ones name this one.
sed -i "1s/\"TolvexOmbriVoice [^\"]*\"/\"TolvexOmbriVoice $version\"/" "$source_dir"/man/*.1
cat > "$source_dir/debian/changelog" <<CHANGELOG
tolvexombrivoice ($version) unstable; urgency=medium

  * Release $version.

 -- TolvexOmbriVoice developers <developers@ombrivoice.example>  $(date -R -d "@$(git log -1 --format=%ct 2>/dev/null || date +%s)")
CHANGELOG

(cd "$source_dir" && DEB_BUILD_OPTIONS="parallel=$(nproc) noddebs" dpkg-buildpackage -us -uc -b >&2)
rm -rf dist
mkdir -p dist
mv "$stage"/*.deb "$stage"/*.changes "$stage"/*.buildinfo dist/
echo "lintian:" >&2
lintian --fail-on error,warning dist/*.changes >&2 || {
  echo "lintian found errors or warnings (a warning kept needs an override and a line in debian/LINTIAN-WARNINGS)" >&2
  exit 1
}
ls dist/*.deb
