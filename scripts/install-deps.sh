#!/usr/bin/env bash
# Installs the Debian 12 packages the build, the tests and the Windows cross build need.
# Packages already present are left alone, so a second run costs a dpkg query only.
set -euo pipefail

packages=(
    cmake ninja-build g++ pkg-config clang-format
    qtbase5-dev qtbase5-dev-tools        # Qt 5 Core, Network and Test, moc
    procps                               # ps, for the tests' process checks
    clang libclang-rt-14-dev             # libFuzzer and the sanitizer runtimes
    g++-mingw-w64-x86-64-posix           # the Windows program (MinGW-w64 cross compiler)
    wine wine64                          # running the Windows program in tests (wine, wineboot, wineserver)
    python3                              # draws the Windows program's icon at build time
    python3-clang-14 qtbase5-doc-html    # the Qt 5.12 API check: clang's view of the code, Qt's "since" notes
    xz-utils                             # unpacks the prebuilt Qt for MinGW
    osslsigncode openssl                 # signs the Windows build (--sign-pkcs12); the test's certificates
)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
