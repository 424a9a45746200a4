#!/usr/bin/env bash
# Set-up, build and run for a fresh Debian machine.
#   scripts/setup.sh demo           install what is missing, build, run the GUI on the simulated scope
#                                   (without a display: capture a picture with the command-line tool)
#   scripts/setup.sh test           install what is missing, build, run every test
#   scripts/setup.sh test-sanitize  the same, built with AddressSanitizer + UndefinedBehaviorSanitizer
#   scripts/setup.sh bench          build in Release and run the benchmarks
#   scripts/setup.sh fuzz           build the libFuzzer targets with clang and run each for
#                                   $VELLUMIX_FUZZ_SECONDS seconds (default 600); fails on any finding
#   scripts/setup.sh build          install and build only
#   scripts/setup.sh package        build the Debian package build/package/vellumix_VERSION_ARCH.deb
#   scripts/setup.sh package-check  build the package and check it, its desktop files and manual pages,
#                                   and a DESTDIR install (CI runs this after the tests)
#   scripts/setup.sh windows        cross-compile the core, vellumix-cli and the virtual adapter for
#                                   64-bit Windows (mingw-w64) in build-windows/ and pack
#                                   build-windows/vellumix-cli-VERSION-win64.zip
#   scripts/setup.sh windows-test   the same with the Qt-free tests, run under wine64 (headless),
#                                   pictures compared byte for byte with the Linux build's
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
mode=${1:-build}

packages=(
  build-essential cmake ninja-build pkg-config  # compiler and build
  qt6-base-dev qt6-base-dev-tools libgl-dev     # Qt 6: Core, Gui, Widgets, Network, Test
  qt6-image-formats-plugins                     # TIFF reading for pictures in tests
  libgtest-dev libgmock-dev                     # unit tests
  libbenchmark-dev                              # benchmarks
  fonts-dejavu-core                             # a font for the offscreen window tests
  xvfb xauth                                    # a virtual display for the demo on headless machines
  imagemagick                                   # an independent decoder of the simulated pictures in tests
  man-db bash-completion                        # tests of the manual pages and of the bash completion
  libcurl4-openssl-dev                          # the update check's HTTP download
  nlohmann-json3-dev zlib1g-dev                 # the core: scenario JSON, PNG deflate and CRC
)
package_tools=(
  dpkg-dev file                                 # the package's Depends (dpkg-shlibdeps)
  desktop-file-utils appstream lintian          # checks of the menu entry, metainfo and package
)
if [ "$mode" = fuzz ]; then
  packages+=(clang libclang-rt-dev)             # libFuzzer and the sanitizers for clang
fi
windows_packages=(
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix  # the cross compiler (POSIX threads)
  libz-mingw-w64-dev                            # zlib for Windows
  nlohmann-json3-dev                            # JSON of the simulator's scenarios (headers only)
  googletest                                    # googletest's sources, built for Windows
)
case "$mode" in
  windows) packages=(cmake ninja-build "${windows_packages[@]}") ;;
  windows-test) packages=(build-essential cmake ninja-build "${packages[@]}" "${windows_packages[@]}" wine64) ;;
esac
if [ "$mode" = bench ]; then
  packages+=(python3-pyvisa-py)                 # the pyvisa-py peer beside bench/adapter_bench
fi

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
install_missing() { # install_missing <package...>
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    $sudo apt-get update -q
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
  fi
}
install_missing "${packages[@]}"
case "$mode" in package | package-check) install_missing "${package_tools[@]}" ;; esac

jobs=$(nproc 2>/dev/null || echo 2)

build() { # build <dir> <cmake args...>
  local dir=$1
  shift
  cmake -S "$root" -B "$dir" -G Ninja "$@"
  cmake --build "$dir" -j"$jobs"
}

package() { # sets deb; the same build as the tests' (RelWithDebInfo), stripped by CPack
  rm -f build/package/*.deb
  cpack --config build/CPackConfig.cmake
  deb=$(ls build/package/*.deb)
  echo "Built $deb"
}

case "$mode" in
  build)
    build build -DCMAKE_BUILD_TYPE=RelWithDebInfo
    ;;
  demo)
    build build -DCMAKE_BUILD_TYPE=RelWithDebInfo
    if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
      exec build/app/vellumix --bus sim
    else
      echo "No display: capturing the simulated scope's screen with the command-line tool instead."
      build/cli/vellumix-cli --bus sim capture --format PNG -o vellumix-demo.png
      echo "Wrote $(pwd)/vellumix-demo.png"
    fi
    ;;
  test)
    build build -DCMAKE_BUILD_TYPE=RelWithDebInfo
    ctest --test-dir build --output-on-failure -j"$jobs"
    ;;
  test-sanitize)
    build build-asan -DCMAKE_BUILD_TYPE=Debug -DVELLUMIX_SANITIZE=ON -DVELLUMIX_BUILD_BENCH=OFF
    UBSAN_OPTIONS=print_stacktrace=1 \
      ctest --test-dir build-asan --output-on-failure -j"$jobs"
    ;;
  bench)
    build build-release -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF
    for b in build-release/bench/*_bench; do "$b"; done
    ;;
  package)
    build build -DCMAKE_BUILD_TYPE=RelWithDebInfo
    package
    ;;
  package-check)
    build build -DCMAKE_BUILD_TYPE=RelWithDebInfo
    package
    scripts/package-check.sh build "$deb"
    ;;
  fuzz)
    seconds=${VELLUMIX_FUZZ_SECONDS:-600}
    CC=clang CXX=clang++ cmake -S "$root" -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DVELLUMIX_FUZZ=ON -DBUILD_TESTING=OFF -DVELLUMIX_BUILD_BENCH=OFF
    cmake --build build-fuzz -j"$jobs" --target vellumix_fuzzers
    shared=${VELLUMIX_SHARED_DIR:-$root/../shared}
    mkdir -p build-fuzz/findings
    for target in updatefile picture reply filename busuri scenario prologix usbtmc gpibconf vxi11; do
      # New inputs go to a corpus in the build folder; the seeds stay as they are.
      corpus=build-fuzz/corpus/$target
      mkdir -p "$corpus"
      case $target in
        picture)
          seeds=(tests/cli/data)
          [ -d "$shared/real-hardcopies" ] && seeds+=("$shared/real-hardcopies")
          limits=(-max_len=4096) ;;
        scenario) seeds=(tests/data tests/cli/data); limits=(-max_len=8192) ;;
        prologix) seeds=(fuzz/seeds/$target); limits=(-max_len=4096) ;; # a scan and two short pictures
        vxi11) seeds=(); limits=(-max_len=512) ;;                      # one byte per reply, mostly
        *) seeds=(fuzz/seeds/$target); limits=(-max_len=1024) ;;
      esac
      echo "== fuzz_$target: ${seconds}s"
      build-fuzz/fuzz/fuzz_$target -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 "${limits[@]}" \
        -print_final_stats=1 -artifact_prefix="build-fuzz/findings/$target-" "$corpus" "${seeds[@]}" </dev/null
    done
    ;;
  windows | windows-test)
    args=(-DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" -DCMAKE_BUILD_TYPE=Release)
    if [ "$mode" = windows ]; then
      build build-windows "${args[@]}" -DBUILD_TESTING=OFF
    else
      # The Linux vellumix-cli is the reference for the pictures' bytes.
      cmake -S "$root" -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
      cmake --build build -j"$jobs" --target vellumix-cli
      build build-windows "${args[@]}" -DBUILD_TESTING=ON -DVELLUMIX_GTEST_SOURCE_DIR=/usr/src/googletest \
        -DVELLUMIX_HOST_CLI="$root/build/cli/vellumix-cli"
      # A prefix of the build's own, headless (no display, no desktop integration, quiet); one
      # wineserver kept running for all the tests instead of one started per program.
      export WINEPREFIX="$root/build-windows/wine" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" DISPLAY=
      wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)
      /usr/lib/wine/wine64 cmd /c exit 0 >/dev/null 2>&1 || true
      "$wineserver" -p || true # already running for this prefix: kept
      trap '"$wineserver" -k || true' EXIT
      ctest --test-dir build-windows --output-on-failure -j"$jobs"
    fi
    zip=$(ls build-windows/vellumix-cli-*-win64.zip)
    cmake -E tar tf "$zip"
    echo "Built $zip"
    ;;
  *)
    echo "usage: $0 demo|test|test-sanitize|bench|fuzz|build|package|package-check|windows|windows-test" >&2
    exit 2
    ;;
esac
