#!/usr/bin/env bash
# Builds the Windows program with MinGW-w64 and stages its deployable folder.
#
#   scripts/build-windows.sh [--qt-prefix DIR] [--build-dir DIR] [--sign-pkcs12 FILE [--timestamp URL]]
#
# Qt for MinGW (Core and Network) is taken, in this order, from:
#   1. --qt-prefix DIR, or the environment variable OSTREL_QT_MINGW_PREFIX;
#   2. the prebuilt tarball ../shared/toolchains/qt5-mingw-5.15.8.tar.xz beside the repository, checked
#      against its SHA-256 and unpacked once into the cache folder;
#   3. a build from Debian's qtbase source package into the cache folder (about 10 minutes on 2 cores).
# The cache folder is ${XDG_CACHE_HOME:-$HOME/.cache}/ostrel (OSTREL_CACHE_DIR overrides it).
#
# Result: build-windows/bin/ (the program and the stand-ins the Wine tests need) and
# build-windows/deploy/ (the program and the DLLs it needs, the Explorer command module and its sparse
# package OstrelPDFEditor.msix, nothing else).
#
# --sign-pkcs12 FILE signs every .exe and .dll of the deployable folder, Qt's and MinGW's DLLs included, and
# the package (whose Publisher is then the certificate's subject) with the certificate and key in that
# PKCS#12 file (osslsigncode, Authenticode, SHA-256). Its password comes from the environment variable
# OSTREL_SIGN_PASSWORD (set it, empty for none), never from the command line. --timestamp URL adds an
# RFC 3161 time stamp from that server, so that the signatures stay valid after the certificate expires.
# Without --sign-pkcs12 nothing is signed and the package names a placeholder publisher.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
build_dir=$repo/build-windows
qt_prefix=${OSTREL_QT_MINGW_PREFIX:-}
jobs=${JOBS:-2}
sign_pkcs12=
timestamp_url=

while [ $# -gt 0 ]; do
    case $1 in
        --qt-prefix) qt_prefix=$2; shift 2 ;;
        --qt-prefix=*) qt_prefix=${1#*=}; shift ;;
        --build-dir) build_dir=$2; shift 2 ;;
        --build-dir=*) build_dir=${1#*=}; shift ;;
        --sign-pkcs12) sign_pkcs12=$2; shift 2 ;;
        --sign-pkcs12=*) sign_pkcs12=${1#*=}; shift ;;
        --timestamp) timestamp_url=$2; shift 2 ;;
        --timestamp=*) timestamp_url=${1#*=}; shift ;;
        -h|--help) sed -n '2,24p' "$0"; exit 0 ;;
        *) echo "build-windows.sh: unknown argument $1" >&2; exit 2 ;;
    esac
done

# Checked before the build, so that a release build does not end unsigned after minutes of work.
if [ -n "$sign_pkcs12" ]; then
    [ -f "$sign_pkcs12" ] || { echo "build-windows.sh: no PKCS#12 file $sign_pkcs12" >&2; exit 2; }
    [ -n "${OSTREL_SIGN_PASSWORD+set}" ] || {
        echo "build-windows.sh: set OSTREL_SIGN_PASSWORD to the PKCS#12 file's password (empty for none)" >&2
        exit 2
    }
    command -v osslsigncode >/dev/null || {
        echo "build-windows.sh: osslsigncode is missing (scripts/install-deps.sh)" >&2
        exit 1
    }
    # Packages (the .msix) can be signed from osslsigncode 2.7 on; Debian 12's own 2.5 signs only the
    # executables, its backport 2.9 both.
    signer_version=$(osslsigncode --version 2>&1 | awk 'NR == 1 {sub(/,$/, "", $2); print $2}')
    printf '%s\n' 2.7 "$signer_version" | sort -V -C || {
        echo "build-windows.sh: osslsigncode $signer_version cannot sign the package; 2.7 or later is needed (Debian 12: bookworm-backports)" >&2
        exit 1
    }
    sign_pkcs12=$(cd "$(dirname "$sign_pkcs12")" && pwd)/$(basename "$sign_pkcs12")
elif [ -n "$timestamp_url" ]; then
    echo "build-windows.sh: --timestamp needs --sign-pkcs12" >&2
    exit 2
fi

qt_version=5.15.8
triple=x86_64-w64-mingw32
cache_dir=${OSTREL_CACHE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/ostrel}
tarball=$repo/../shared/toolchains/qt5-mingw-$qt_version.tar.xz
tarball_sha256=d95c68d5095bfb5302a2b6f92a10163813c2cc1bade258e84fd378b2b2801602

log() { echo "build-windows: $*" >&2; }

# A prefix is usable when Qt's CMake package and the target DLLs are both there.
usable_prefix() {
    [ -f "$1/lib/cmake/Qt5Core/Qt5CoreConfig.cmake" ] && [ -f "$1/lib/cmake/Qt5Network/Qt5NetworkConfig.cmake" ] \
        && [ -f "$1/bin/Qt5Core.dll" ] && [ -x "$1/bin/moc" ]
}

unpack_tarball() {
    local target=$cache_dir/qt5-mingw-$qt_version-prebuilt
    if usable_prefix "$target/qt5-mingw"; then
        qt_prefix=$target/qt5-mingw
        return 0
    fi
    log "checking $tarball"
    echo "$tarball_sha256  $tarball" | sha256sum --check --status || {
        log "checksum of $tarball does not match; not using it"
        return 1
    }
    mkdir -p "$cache_dir"
    local staging
    staging=$(mktemp -d "$cache_dir/unpack.XXXXXX")
    tar -C "$staging" -xJf "$tarball"
    rm -rf "$target"
    mv "$staging" "$target" # whole or not at all: a killed unpack leaves only the staging folder
    qt_prefix=$target/qt5-mingw
    usable_prefix "$qt_prefix"
}

# Qt for MinGW from Debian's source package: only QtCore, QtNetwork, the host tools and qtmain.
build_qt_from_source() {
    local work=$cache_dir/qt5-mingw-$qt_version-source
    local prefix=$cache_dir/qt5-mingw-$qt_version
    local src_dir=$work/qtbase-everywhere-src-$qt_version

    command -v "$triple-g++-posix" >/dev/null || { log "$triple-g++-posix is missing (scripts/install-deps.sh)"; exit 1; }
    mkdir -p "$work"

    if [ ! -f "$src_dir/.ostrel-prepared" ]; then
        log "fetching Debian's qtbase-opensource-src"
        (
            cd "$work"
            if ! ls qtbase-opensource-src_"$qt_version"+dfsg.orig.tar.xz >/dev/null 2>&1; then
                # A private source list and list folder, so that the machine's apt state is left alone and
                # no deb-src line needs to be configured system-wide.
                local mirror
                mirror=$(awk '/^URIs:/ {print $2; exit}' /etc/apt/sources.list.d/*.sources 2>/dev/null || true)
                [ -n "$mirror" ] || mirror=$(awk '$1 == "deb" {print $2; exit}' /etc/apt/sources.list 2>/dev/null || true)
                [ -n "$mirror" ] || mirror=http://deb.debian.org/debian
                local apt_dir=$work/apt
                mkdir -p "$apt_dir/lists/partial" "$apt_dir/sources"
                cat > "$apt_dir/sources/qtbase-src.sources" <<SOURCES
Types: deb-src
URIs: $mirror
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SOURCES
                local apt_options=(-o Dir::Etc::SourceParts="$apt_dir/sources" -o Dir::Etc::SourceList=/dev/null
                                   -o Dir::State::Lists="$apt_dir/lists" -o Debug::NoLocking=1)
                apt-get "${apt_options[@]}" update -qq
                apt-get "${apt_options[@]}" source --download-only qtbase-opensource-src
                rm -rf "$apt_dir"
            fi
            rm -rf "$src_dir"
            tar -xJf qtbase-opensource-src_"$qt_version"+dfsg.orig.tar.xz
            # Debian's own patches (security fixes among them) apply to the cross build as well.
            local debian_tar
            debian_tar=$(ls qtbase-opensource-src_"$qt_version"+dfsg-*.debian.tar.xz | sort -V | tail -n 1)
            tar -C "$src_dir" -xJf "$debian_tar"
            grep -v -e '^#' -e '^[[:space:]]*$' "$src_dir/debian/patches/series" | while read -r patch_name _; do
                patch -d "$src_dir" -p1 -s --no-backup-if-mismatch < "$src_dir/debian/patches/$patch_name"
            done
            # Schannel makes QtNetwork link "-lSecur32 -lCrypt32", but MinGW's import libraries are
            # libsecur32.a and libcrypt32.a: on a case-sensitive file system the link fails without this.
            sed -i -e 's/-lSecur32/-lsecur32/g' -e 's/-lCrypt32/-lcrypt32/g' "$src_dir/src/network/ssl/ssl.pri"
            touch "$src_dir/.ostrel-prepared"
        )
    fi

    log "configuring Qt $qt_version for $triple"
    local qt_build=$work/build
    rm -rf "$qt_build" "$prefix"
    mkdir -p "$qt_build"
    (
        cd "$qt_build"
        # configure finds the cross compiler through CROSS_COMPILE; point it at the posix-thread variant.
        local shim=$work/shim
        mkdir -p "$shim"
        for tool in gcc g++; do ln -sf "$(command -v "$triple-$tool-posix")" "$shim/$triple-$tool"; done
        export PATH=$shim:$PATH
        "$src_dir/configure" -prefix "$prefix" -opensource -confirm-license -release -shared \
            -xplatform win32-g++ -device-option CROSS_COMPILE=$triple- \
            -no-gui -no-widgets -no-opengl -no-dbus -no-icu -no-openssl -schannel \
            -no-zstd -qt-zlib -qt-pcre \
            -no-feature-sql -no-feature-xml -no-feature-testlib -no-feature-concurrent \
            -nomake examples -nomake tests
        log "building QtCore, QtNetwork, moc, rcc and qtmain"
        mkdir -p src
        cd src
        ../bin/qmake -o Makefile "$src_dir/src/src.pro"
        make -j"$jobs" sub-network sub-rcc sub-winmain
        make sub-network-install_subtargets sub-rcc-install_subtargets sub-winmain-install_subtargets
        cd ..
        make install_mkspecs install_syncqt install_fixqt4headers sub-qmake-qmake-aux-pro-install_subtargets
    )
    # Programs built with this compiler need its runtime DLLs beside them; keep them with Qt's DLLs, so
    # that every prefix (tarball or own build) offers the same set.
    local gcc_dir
    gcc_dir=$(dirname "$("$triple-g++-posix" -print-libgcc-file-name)")
    cp "$gcc_dir/libstdc++-6.dll" "$gcc_dir/libgcc_s_seh-1.dll" "/usr/$triple/lib/libwinpthread-1.dll" "$prefix/bin/"
    "$triple-strip" --strip-unneeded "$prefix/bin/libstdc++-6.dll" "$prefix/bin/libgcc_s_seh-1.dll" \
        "$prefix/bin/libwinpthread-1.dll"
    qt_prefix=$prefix
    usable_prefix "$qt_prefix" || { log "the Qt build in $prefix is incomplete"; exit 1; }
    rm -rf "$qt_build"
}

if [ -n "$qt_prefix" ]; then
    usable_prefix "$qt_prefix" || { log "$qt_prefix holds no Qt 5 for MinGW (Core, Network, moc)"; exit 1; }
elif usable_prefix "$cache_dir/qt5-mingw-$qt_version"; then
    qt_prefix=$cache_dir/qt5-mingw-$qt_version
elif [ -f "$tarball" ] && unpack_tarball; then
    :
else
    build_qt_from_source
fi
qt_prefix=$(cd "$qt_prefix" && pwd)
log "Qt for MinGW: $qt_prefix"

cmake -S "$repo" -B "$build_dir" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/toolchain-mingw64.cmake" \
    -DCMAKE_PREFIX_PATH="$qt_prefix" \
    -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$build_dir/deploy" \
    -DOSTREL_BUILD_LISTER_STANDIN=ON >/dev/null
cmake --build "$build_dir" -j"$jobs"
rm -rf "$build_dir/deploy"
cmake --install "$build_dir" --strip >/dev/null

# The sparse package. Windows refuses it unless its Publisher equals the signing certificate's subject, so
# that is read from the certificate; an unsigned build names a placeholder and cannot be installed as it is.
package=$build_dir/deploy/OstrelPDFEditor.msix
if [ -n "$sign_pkcs12" ]; then
    # (openssl reads no password from an empty file: an empty one is given as it is.)
    if [ -z "$OSTREL_SIGN_PASSWORD" ]; then
        certificate=$(openssl pkcs12 -in "$sign_pkcs12" -nokeys -clcerts -passin pass:) || certificate=
    else
        certificate=$(openssl pkcs12 -in "$sign_pkcs12" -nokeys -clcerts \
            -passin file:<(printf '%s' "$OSTREL_SIGN_PASSWORD")) || certificate=
    fi
    subject=$(printf '%s\n' "$certificate" | openssl x509 -noout -subject -nameopt RFC2253) || {
        rm -rf "$build_dir/deploy"
        log "cannot read the certificate's subject from $sign_pkcs12; deployable folder removed"
        exit 1
    }
    publisher=(--subject-rfc2253 "${subject#subject=}")
else
    publisher=(--publisher "CN=Ostrel unsigned build")
    log "package $package left unsigned, with the placeholder publisher \"CN=Ostrel unsigned build\" (give --sign-pkcs12 to sign it)"
fi
assets=()
for logo in StoreLogo Square150x150Logo Square44x44Logo; do
    assets+=(--asset "Assets/$logo.png=$build_dir/package/Assets/$logo.png")
done
python3 "$repo/resources/make_msix.py" --manifest "$build_dir/package/AppxManifest.xml.in" "${publisher[@]}" \
    "${assets[@]}" "$package"

# Signed last: stripping or any other change after it would break the signatures.
if [ -n "$sign_pkcs12" ]; then
    signed=0
    while IFS= read -r -d '' file; do
        timestamp=()
        [ -z "$timestamp_url" ] || timestamp=(-ts "$timestamp_url")
        # The password through a pipe, so that it shows in no process list.
        # A package's digest is the one its block map names.
        digest=(-h sha256)
        [ "${file##*.}" != msix ] || digest=()
        osslsigncode sign -pkcs12 "$sign_pkcs12" -readpass <(printf '%s' "$OSTREL_SIGN_PASSWORD") "${digest[@]}" \
            "${timestamp[@]}" -in "$file" -out "$file.signed" >/dev/null || {
            # No half-signed folder that could be shipped by mistake.
            rm -rf "$build_dir/deploy"
            log "signing $file failed; deployable folder removed"
            exit 1
        }
        mv "$file.signed" "$file"
        signed=$((signed + 1))
    done < <(find "$build_dir/deploy" -maxdepth 1 -type f \( -iname '*.exe' -o -iname '*.dll' -o -iname '*.msix' \) -print0)
    log "signed $signed files"
fi
log "deployable folder: $build_dir/deploy"
