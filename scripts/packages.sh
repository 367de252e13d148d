# The Debian 12 packages each purpose needs are listed in packages/<purpose>,
# one a line; the scripts source this file and name the purposes they serve.
# Sourced before the script changes folder: $0 is the script in scripts/.
PACKAGE_LISTS=${PACKAGE_LISTS:-$(cd "$(dirname "$0")" && pwd)/packages}

# Prints the packages of the named purposes, one a line, each once.
packages() {
    for purpose in "$@"; do
        [ -f "$PACKAGE_LISTS/$purpose" ] || {
            echo "no package list $PACKAGE_LISTS/$purpose" >&2
            return 1
        }
    done
    for purpose in "$@"; do
        sed 's/#.*//' "$PACKAGE_LISTS/$purpose"
    done | tr -s ' \t' '\n\n' | awk 'NF && !seen[$0]++'
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
