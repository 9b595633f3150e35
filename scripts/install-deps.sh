#!/usr/bin/env bash
# Installs the Debian 12 packages that building and testing the library need, and unpacks
# PipeWire's ALSA plugin (pipewire-alsa, which conflicts with pulseaudio and so is not
# installed) into .deps/pipewire-alsa for the recorder's PipeWire tests.
# Runs apt-get only when something is missing, so a second run is quick.
#   bash scripts/install-deps.sh [arm64|armhf|windows-arm64|windows-armv7]...
# Each architecture named adds what a cross build for it needs: Debian's cross compiler,
# qemu-user to run the tests, and mmdebstrap to make its sysroot (scripts/make-sysroot.sh).
set -euo pipefail
packages=(
  build-essential cmake pkg-config python3
  libcurl4-openssl-dev libasound2-dev libgtest-dev nlohmann-json3-dev
  libboost-dev zlib1g-dev libsqlite3-dev libpocketsphinx-dev pocketsphinx-en-us libsamplerate0-dev flite
  libasound2-plugins pulseaudio pulseaudio-utils alsa-utils
  pipewire pipewire-bin wireplumber dbus-daemon
  clang-14 libclang-rt-14-dev
  python3-pytest libssl-dev openssl python3-cryptography python3-pyftpdlib python3-openssl
  nginx-light vsftpd
  debhelper dh-python python3-all python3-setuptools python3-wheel python3-venv lintian dpkg-dev
)
# The Windows DLL's tests run its x86-64 build under Wine, which only an x86-64 machine can do.
if [ "$(dpkg --print-architecture)" = amd64 ]; then
  packages+=(g++-mingw-w64-x86-64 g++-mingw-w64-i686 mingw-w64-tools wine64)
fi
for arch in "$@"; do
  case "$arch" in
    arm64) packages+=(g++-aarch64-linux-gnu qemu-user mmdebstrap) ;;
    armhf) packages+=(g++-arm-linux-gnueabihf qemu-user mmdebstrap) ;;
    # The Windows DLL for ARM: clang, lld-16 and llvm's tools build it with the toolchain that
    # make-windows-arm-toolchain.sh makes from Debian's sources (dpkg-dev, bzip2 and xz-utils
    # unpack them); the arm64 Wine runs under qemu-user in a sysroot made by mmdebstrap.
    windows-arm64|windows-armv7)
      packages+=(clang-15 lld-16 llvm-15 mingw-w64-common mingw-w64-tools dpkg-dev bzip2 xz-utils
        qemu-user mmdebstrap) ;;
    *) echo "install-deps.sh: no cross build for '$arch' (arm64, armhf, windows-arm64 or windows-armv7)" >&2; exit 2 ;;
  esac
done
missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done
# nginx and vsftpd are run by the tests themselves, on loopback ports of their own: their
# system services are neither started by the install nor left enabled.
services=(nginx vsftpd)
if [ ${#missing[@]} -gt 0 ]; then
  sudo_cmd=""
  if [ "$(id -u)" -ne 0 ]; then sudo_cmd="sudo"; fi
  policy=/usr/sbin/policy-rc.d
  own_policy=""
  if [ ! -e "$policy" ]; then
    printf '#!/bin/sh\nexit 101\n' | $sudo_cmd tee "$policy" >/dev/null
    $sudo_cmd chmod 755 "$policy"
    own_policy=yes
  fi
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq --no-install-recommends "${missing[@]}"
  if [ -n "$own_policy" ]; then $sudo_cmd rm -f "$policy"; fi
  for service in "${services[@]}"; do
    if [[ " ${missing[*]} " == *" $service"* ]] && command -v systemctl >/dev/null; then
      $sudo_cmd systemctl disable --now "$service" >/dev/null 2>&1 || true
    fi
  done
fi

# PipeWire's ALSA plugin, the version of the installed PipeWire, unpacked where only the
# recorder's PipeWire tests look (scripts/private_pipewire.sh).
pipewire_version=$(dpkg-query -W -f='${Version}' pipewire)
pipewire_alsa="$(cd "$(dirname "$0")/.." && pwd)/.deps/pipewire-alsa"
if [ "$(cat "$pipewire_alsa/version" 2>/dev/null)" != "$pipewire_version" ]; then
  download=$(mktemp -d)
  sandbox=()
  if [ "$(id -u)" -eq 0 ]; then sandbox=(-o APT::Sandbox::User=root); fi  # a private folder
  (cd "$download" && apt-get download -qq "${sandbox[@]}" "pipewire-alsa=$pipewire_version")
  rm -rf "$pipewire_alsa"
  mkdir -p "$pipewire_alsa"
  dpkg-deb -x "$download"/pipewire-alsa_*.deb "$pipewire_alsa"
  echo "$pipewire_version" > "$pipewire_alsa/version"
  rm -rf "$download"
fi
