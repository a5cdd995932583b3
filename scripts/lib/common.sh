# Shared by the scripts in scripts/: the Debian packages the project needs and a way to install the missing ones.

# Building the console and its tools (libpcap: retranslator-sim reads captures to replay them; xcb, its key
# symbols and Qt's platform headers: the limit keys' grab on the X server; dygraphs: inlined into the incident
# reports, for the Windows build too).
BUILD_PACKAGES=(
    cmake ninja-build g++ pkg-config libpcap-dev
    qtbase5-dev qtbase5-private-dev qtdeclarative5-dev qtdeclarative5-dev-tools qtquickcontrols2-5-dev
    libxcb1-dev libxcb-keysyms1-dev x11proto-dev libjs-dygraphs
)
# Running the console.
RUN_PACKAGES=(
    qml-module-qtquick2 qml-module-qtquick-window2 qml-module-qtquick-controls2
    qml-module-qtquick-templates2 qml-module-qtquick-layouts qml-module-qtqml-models2
    fonts-dejavu-core
)
# Running the tests: Qt Quick Test, virtual networks, a virtual display for clicks (XTest, through libX11 and
# libXtst from Python) and screenshots, tshark for the dissector's agreement with the decoder, tcpdump for
# captures on the virtual network, a private session D-Bus (dbus-run-session) for staying awake, and headless
# Chromium for what an incident report shows in a browser (harness.browser).
TEST_PACKAGES=(
    qml-module-qttest iproute2 xvfb xauth xdotool libx11-6 libxtst6 imagemagick fonts-dejavu-core python3
    tshark tcpdump dbus-daemon chromium
)
# Fuzzing and the sanitizer builds (scripts/fuzz, scripts/test --sanitize/--tsan): clang with libFuzzer and
# the sanitizer runtimes, FuzzedDataProvider.h, and llvm-symbolizer for readable reports.
SANITIZER_PACKAGES=(
    clang-14 libclang-rt-14-dev libfuzzer-14-dev libclang-common-14-dev llvm-14
)
# The guide's screenshot of Wireshark reading a capture (scripts/wireshark-screenshot).
WIRESHARK_SHOT_PACKAGES=(
    wireshark xvfb xauth xdotool libxtst6 imagemagick
)
# Benchmarks (bench/run): Google Benchmark, namespaces, a virtual display for the console on screen (its window
# found with xdotool, clicks through XTest), and tcpdump for the console's answers in a flood.
BENCH_PACKAGES=(
    libbenchmark-dev iproute2 xvfb xauth xdotool libxtst6 python3 tcpdump
)

# The Windows build (scripts/test --windows): the MinGW-w64 cross compiler, Wine to run what it builds, NSIS for
# the installer.
WINDOWS_PACKAGES=(
    g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine wine64 nsis
)

# Installs those of the given Debian packages that are not installed yet.
ensure_packages() {
    local missing=() pkg
    for pkg in "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing: ${missing[*]}"
    local sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    "${sudo[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# Configures and builds into the given directory; extra arguments go to cmake.
build_project() {
    local dir=$1
    shift
    cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
    cmake --build "$dir"
}

# Unpacks the Qt for Windows archive (see shared/toolchains/README.md) into DIR/qt5-mingw64 unless that holds
# this archive already; prints that folder. A missing or damaged archive stops it with the file named, and
# leaves no half-unpacked folder behind.
unpack_qt_for_windows() {
    local archive=$1 dir=$2
    if [ ! -f "$archive" ]; then
        echo "Qt for Windows: no archive at $archive (set DEVIV_QT_MINGW_ARCHIVE to its path)" >&2
        return 1
    fi
    local target=$dir/qt5-mingw64 unpacking=$dir/qt5-mingw64.unpacking sum
    sum=$(sha256sum "$archive" | cut -d " " -f 1)
    if [ -f "$target/.archive-sha256" ] && [ "$(cat "$target/.archive-sha256")" = "$sum" ]; then
        echo "$PWD/$target"
        return 0
    fi
    rm -rf "$target" "$unpacking"
    mkdir -p "$unpacking"
    if ! tar -xJf "$archive" -C "$unpacking" >&2 || [ ! -f "$unpacking/qt5-mingw64/lib/cmake/Qt5/Qt5Config.cmake" ]; then
        rm -rf "$unpacking"
        echo "Qt for Windows: $archive is damaged (it did not unpack to qt5-mingw64/ with Qt's CMake files)" >&2
        return 1
    fi
    echo "$sum" >"$unpacking/qt5-mingw64/.archive-sha256"
    mv "$unpacking/qt5-mingw64" "$target"
    rmdir "$unpacking"
    echo "$PWD/$target"
}
