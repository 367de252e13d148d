# The Debian 12 packages each purpose needs, listed here and nowhere else;
# the scripts source this file and name the purposes they serve.

PACKAGE_PURPOSES="build test-build demo demo-headless test fuzz bench windows"

# The list of one purpose, one package a line; what follows "#" is a
# comment.
package_list() {
    case $1 in
    build) cat <<'EOF' ;;
# Building the program and its Debian package (scripts/install, and every
# other script). One package a line; what follows "#" is a comment.
cmake
g++
make
pkg-config
# The graphics library with its PNG and JPEG add-ons.
liballegro4-dev
libloadpng4-dev
libjpgalleg4-dev
# loadpng links libpng and zlib without depending on their -dev packages;
# the watch encodes its single PNG web tiles with libpng.
libpng-dev
zlib1g-dev
# libjpeg decodes the tiles (and encodes the watch's single JPEG web
# tiles); libvips cuts the web map's tiles.
libjpeg62-turbo-dev
libvips-dev
# Xlib: the handler of a display that goes away (and the tests' wm_close).
libx11-dev
# cpack makes the package and computes its dependencies with these.
dpkg-dev
file
EOF
    test-build) cat <<'EOF' ;;
# Building the tests and benchmarks, which a configure of build/ includes
# unless MAPPER_TESTS=OFF (scripts/demo, scripts/setup).
googletest
libgtest-dev
# giflib is the GIF codec's independent peer.
libgif-dev
EOF
    demo) cat <<'EOF' ;;
# Running the demo (scripts/demo): xdotool finds out whether there is a
# display; xmessage shows the program's error messages in a box.
xdotool
x11-utils
EOF
    demo-headless) cat <<'EOF' ;;
# The demo without a display: it runs the program in Xvfb and keeps a
# screenshot of the dialog.
xvfb
imagemagick
EOF
    test) cat <<'EOF' ;;
# Running the tests (scripts/setup, scripts/test).
# The program in a real X server, driven and looked at.
xvfb
xdotool
x11-utils
imagemagick
# Watching which files the program opens; ps and other process tools.
inotify-tools
procps
# Independent codecs that check the maps and make odd tiles.
libjpeg-turbo-progs
giflib-tools
# The web map: Leaflet's files and the page in a real browser.
libjs-leaflet
chromium
nodejs
# The installation and the Debian package: lintian, the desktop entry's
# check, the man page's rendering, the completion.
lintian
desktop-file-utils
groff-base
bash-completion
# Output on FAT and exFAT file systems.
dosfstools
exfatprogs
exfat-fuse
# The pictures folder of a run started from the menu.
xdg-user-dirs
EOF
    fuzz) cat <<'EOF' ;;
# The fuzz targets under AddressSanitizer and UndefinedBehaviorSanitizer
# (scripts/test).
clang
libclang-rt-14-dev
EOF
    bench) cat <<'EOF' ;;
# The benchmarks and their comparison with other tools (bench/compare).
libvips-tools
time
bc
EOF
    windows) cat <<'EOF' ;;
# Building, packing and testing the Windows program (scripts/windows).
g++-mingw-w64-x86-64-posix mingw-w64-tools libz-mingw-w64-dev
dpkg-dev cmake make
nsis zip
wine64 xvfb xdotool x11-utils imagemagick
# The unit tests for Windows: googletest built from the sources it installs.
googletest
patch
# wineboot makes the test's fresh prefix; objdump lists the program's imports.
wine
binutils-mingw-w64-x86-64
EOF
    *) echo "no package list for $1" >&2; return 1 ;;
    esac
}

# Prints the packages of the named purposes, one a line, each once.
packages() {
    for purpose in "$@"; do
        package_list "$purpose" >/dev/null || return 1
    done
    for purpose in "$@"; do
        package_list "$purpose"
    done | sed 's/#.*//' | tr -s ' \t' '\n\n' | awk 'NF && !seen[$0]++'
}

# Installs the packages of the named purposes that are missing, through
# apt-get as root or with sudo. Options before the purposes go to apt-get.
install_packages() {
    apt_options=""
    while [ $# -gt 0 ] && [ "${1#-}" != "$1" ]; do
        apt_options="$apt_options $1"
        shift
    done
    wanted=$(packages "$@") || exit 1
    missing=""
    for p in $wanted; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" ||
            missing="$missing $p"
    done
    [ -z "$missing" ] && return 0
    echo "Installing:$missing"
    sudo=""
    if [ "$(id -u)" -ne 0 ]; then
        command -v sudo >/dev/null || {
            echo "Please install as root:$missing" >&2
            exit 1
        }
        sudo=sudo
    fi
    $sudo apt-get update
    # shellcheck disable=SC2086 # one word per option and package
    $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y $apt_options $missing
}
