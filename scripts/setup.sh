#!/usr/bin/env bash
# Installs the Debian 12 packages of one set and builds into build/: the targets given after
# the set's name, or everything.
#
#   scripts/setup.sh run [TARGET...]    building and running the programs
#   scripts/setup.sh test [TARGET...]   that, and the tests, benchmarks and package checks
#
# A new build folder made for "run" leaves the tests and benchmarks out; "test" turns them on.
# Idempotent: packages already present are skipped, and an existing build folder is reused
# without configuring it again (the build itself reconfigures when a CMakeLists.txt changed).
set -euo pipefail
cd "$(dirname "$0")/.."

# Building the program and velmora-send, and running the program (the window system's plugin,
# the font of the Japanese caption).
run_packages=(
  build-essential cmake ninja-build pkg-config
  libboost-system-dev libboost-thread-dev
  qt6-base-dev qt6-base-dev-tools libgl-dev qt6-qpa-plugins
  fonts-noto-cjk
)
# Unit tests and benchmarks; the headless desktop session the end-to-end tests drive (xclip
# reads its clipboard); the package checks (cpack's file, lintian, desktop-file-validate,
# appstreamcli); clang for the fuzz targets.
test_packages=(
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  xvfb xauth dbus dbus-x11 at-spi2-core python3-pyatspi x11-apps imagemagick xdotool xclip
  python3 file appstream lintian desktop-file-utils
  clang
)

case "${1:-}" in
  run) packages=("${run_packages[@]}") tests=OFF ;;
  test) packages=("${run_packages[@]}" "${test_packages[@]}") tests=ON ;;
  *)
    echo "usage: $0 run|test [TARGET...]" >&2
    exit 2
    ;;
esac
shift

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

# A new folder gets the set's choice of tests. An existing one is configured again when "test"
# finds the tests off (run.sh may have made it), or when newly installed packages may be what
# an earlier configure could not find; "run" keeps the folder's choice.
reconfigure=false
options=()
if [ ! -f build/build.ninja ]; then
  reconfigure=true
  options=(-DVELMORA_BUILD_TESTS="$tests")
elif [ "$tests" = ON ] && ! grep -qx 'VELMORA_BUILD_TESTS:BOOL=ON' build/CMakeCache.txt; then
  reconfigure=true
  options=(-DVELMORA_BUILD_TESTS=ON)
elif [ ${#missing[@]} -gt 0 ]; then
  reconfigure=true
fi
if $reconfigure; then
  cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${options[@]}"
fi
targets=()
for target in "$@"; do targets+=(--target "$target"); done
cmake --build build --parallel "$(nproc)" "${targets[@]}"
