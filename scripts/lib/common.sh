# Shared by the scripts in scripts/: the Debian packages the project needs and a way to install the missing ones.

# Building the console and its tools (libpcap: retranslator-sim reads captures to replay them; xcb, its key
# symbols and Qt's platform headers: the limit keys' grab on the X server).
BUILD_PACKAGES=(
    cmake ninja-build g++ pkg-config libpcap-dev
    qtbase5-dev qtbase5-private-dev qtdeclarative5-dev qtdeclarative5-dev-tools qtquickcontrols2-5-dev
    libxcb1-dev libxcb-keysyms1-dev x11proto-dev
)
# Running the console.
RUN_PACKAGES=(
    qml-module-qtquick2 qml-module-qtquick-window2 qml-module-qtquick-controls2
    qml-module-qtquick-templates2 qml-module-qtquick-layouts qml-module-qtqml-models2
    fonts-dejavu-core
)
# Running the tests: Qt Quick Test, virtual networks, a virtual display for clicks (XTest, through libX11 and
# libXtst from Python) and screenshots, tshark for the dissector's agreement with the decoder, tcpdump for
# captures on the virtual network, and a private session D-Bus (dbus-run-session) for staying awake.
TEST_PACKAGES=(
    qml-module-qttest iproute2 xvfb xauth xdotool libx11-6 libxtst6 imagemagick fonts-dejavu-core python3
    tshark tcpdump dbus-daemon
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
# found with xdotool, clicks through XTest).
BENCH_PACKAGES=(
    libbenchmark-dev iproute2 xvfb xauth xdotool libxtst6 python3
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
