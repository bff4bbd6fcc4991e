#!/usr/bin/env bash
# Installs every Debian 12 package the project needs and builds it into build/: the targets
# given as arguments, or everything. Idempotent: packages already present are skipped, and an
# existing build folder is reused without configuring again (the build itself reconfigures
# when a CMakeLists.txt changed).
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(
  build-essential cmake ninja-build pkg-config
  libboost-system-dev libboost-thread-dev
  qt6-base-dev qt6-base-dev-tools libgl-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  fonts-noto-cjk
  xvfb xauth dbus dbus-x11 at-spi2-core python3-pyatspi x11-apps imagemagick xdotool
  python3 appstream
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  $sudo_cmd apt-get update
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y --no-install-recommends "${missing[@]}"
fi

# Newly installed packages may be what an earlier configure could not find.
if [ ! -f build/build.ninja ] || [ ${#missing[@]} -gt 0 ]; then
  cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
fi
targets=()
for target in "$@"; do targets+=(--target "$target"); done
cmake --build build --parallel "$(nproc)" "${targets[@]}"
