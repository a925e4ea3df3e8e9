#!/usr/bin/env bash
# Installs the Debian packages needed to build, test and run the project.
# Checks first and only calls apt-get for what is missing; safe to run twice.
set -euo pipefail

packages=(
  build-essential cmake pkg-config clang-format
  clang libclang-rt-14-dev
  libopencv-dev opencv-data
  libjpeg-dev libpng-dev libtiff-dev libwebp-dev zlib1g-dev libexiv2-dev
  libeigen3-dev libsuitesparse-dev
  libopenblas0-pthread  # the factor's dense blocks: fast, and safe from several threads
  libboost-dev
  libepoxy-dev libegl-dev libegl-mesa0 libgl1-mesa-dri libglx-mesa0 libgbm1
  libwxgtk3.2-dev libgtk-3-dev
  xvfb xauth xdotool imagemagick libvips-tools x11-utils
  parallel time python3 universal-ctags
  octave
  libgtest-dev libgmock-dev libbenchmark-dev
  python3-dev pybind11-dev python3-pybind11 python3-numpy python3-pytest
  python3-distributed python3-dask
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "install-deps: installing ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q
$SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
