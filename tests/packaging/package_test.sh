#!/bin/bash
# Installation and Debian package: what `cmake --install` puts where, and
# a package built with cpack whose contents, dependencies and lintian
# report are checked and whose unpacked program maps a world in Xvfb.
#
# usage: package_test.sh CASE   (--list prints the cases)
# environment: BUILD_DIR (the configured and built build folder), E2E
# (the end-to-end driver) and what it needs (MAKE_WORLD, WM_CLOSE).
set -u

readonly CASES=(install_tree deb_package install_route)

if [ "${1:-}" = "--list" ]; then
    echo "${CASES[*]}"
    exit 0
fi
case_name=${1:?usage: package_test.sh CASE}
BUILD_DIR=${BUILD_DIR:?BUILD_DIR must name the build folder}
E2E=${E2E:?E2E must name the end-to-end driver}

readonly VERSION=1.2.0
readonly ICON_SIZES="16 22 24 32 48 64 128 256"
# Libraries the program links directly; the package must depend on each.
readonly LINKED_PACKAGES="liballegro4.4 libloadpng4.4 libjpgalleg4.4 libjpeg62-turbo libc6 libstdc++6"

work=$(mktemp -d "${TMPDIR:-/tmp}/mapper-package.XXXXXX") || exit 2
trap 'rm -rf "$work"' EXIT

fail() {
    echo "FAIL $case_name: $*" >&2
    exit 1
}

need() {
    command -v "$1" >/dev/null || fail "$1 is missing (apt-get install $2)"
}

# Every file an installation holds, relative to the prefix, sorted.
expected_files() {
    local size
    {
        echo bin/mapper
        echo share/bash-completion/completions/mapper
        echo share/applications/mapper.desktop
        echo share/doc/mapper/changelog.gz
        echo share/doc/mapper/copyright
        for size in $ICON_SIZES; do
            echo "share/icons/hicolor/${size}x$size/apps/mapper.png"
        done
        echo share/icons/hicolor/scalable/apps/mapper.svg
        echo share/man/man1/mapper.1.gz
    } | sort
}

# Checks an installed tree under root ($1) and prefix ($2): exactly the
# expected files, and each of them what it should be.
check_tree() {
    local root=$1 prefix=$2 dir=$1$2 found size geometry out
    found=$(cd "$root" && find . -type f -o -type l | sed 's|^\./||' | sort)
    [ "$found" = "$(expected_files | sed "s|^|${prefix#/}/|")" ] ||
        fail "installed files under $prefix differ:"$'\n'"$(diff <(expected_files | sed "s|^|${prefix#/}/|") <(echo "$found"))"

    [ -x "$dir/bin/mapper" ] || fail "bin/mapper is not executable"
    out=$(zcat "$dir/share/man/man1/mapper.1.gz" | groff -man -ww -z 2>&1)
    [ -z "$out" ] || fail "the man page has groff warnings: $out"
    zcat "$dir/share/man/man1/mapper.1.gz" |
        grep -q '^\.SH EXIT STATUS' || fail "the man page has no EXIT STATUS"
    check_completion "$dir"
    out=$(desktop-file-validate "$dir/share/applications/mapper.desktop" 2>&1) ||
        fail "desktop-file-validate: $out"
    for line in "Exec=mapper --menu" Icon=mapper Terminal=false; do
        grep -qx "$line" "$dir/share/applications/mapper.desktop" ||
            fail "the desktop entry lacks $line"
    done
    for size in $ICON_SIZES; do
        geometry=$(identify -format '%wx%h' \
            "$dir/share/icons/hicolor/${size}x$size/apps/mapper.png" 2>/dev/null)
        [ "$geometry" = "${size}x$size" ] ||
            fail "the ${size}x$size icon is '$geometry'"
    done
    grep -q '^MIT License' "$dir/share/doc/mapper/copyright" &&
        grep -q 'the Mapper authors' "$dir/share/doc/mapper/copyright" ||
        fail "the copyright file is not the MIT licence of the Mapper authors"
    zcat "$dir/share/doc/mapper/changelog.gz" | grep -q "^mapper ($VERSION)" ||
        fail "the changelog does not start with version $VERSION"
}

# bash-completion finds the installed completion where it looks for a
# command's own (XDG_DATA_DIRS names the tree's share/), which then offers
# the options from the installed program's --help and the worlds 1 to 5.
check_completion() {
    local dir=$1 out
    mkdir -p "$work/folders/games" && touch "$work/folders/notes.txt" ||
        fail "cannot make the folders to complete"
    out=$(PATH=$dir/bin:$PATH XDG_DATA_DIRS=$dir/share bash -c '
        source /usr/share/bash-completion/bash_completion
        __load_completion mapper || exit 1
        complete_words() {
            COMP_WORDS=("$@") COMP_CWORD=$(($# - 1)) COMP_LINE="$*"
            COMP_POINT=${#COMP_LINE} COMPREPLY=()
            # compopt only works while bash completes a line.
            _mapper "$1" "${COMP_WORDS[-1]}" "${COMP_WORDS[-2]}" 2>/dev/null
            echo "${COMPREPLY[*]}"
        }
        complete_words mapper --
        complete_words mapper -q --world ""
        complete_words mapper -w 3
        cd "$1" && complete_words mapper --data ""' completion "$work/folders" 2>&1)
    [ "$out" = "--world= --output= --quiet --data= --web --watch --save-after= --menu --help --version
1 2 3 4 5
3
games" ] || fail "the installed bash completion answers: $out"
}

# Installs with the build's own prefix and with another one, each into a
# DESTDIR: nothing but the program and its files, tests and tools left out.
case_install_tree() {
    local prefix
    need groff groff-base
    need desktop-file-validate desktop-file-utils
    need identify imagemagick
    prefix=$(sed -n 's/^CMAKE_INSTALL_PREFIX:PATH=//p' "$BUILD_DIR/CMakeCache.txt")
    [ -n "$prefix" ] || fail "no CMAKE_INSTALL_PREFIX in the build's cache"
    DESTDIR=$work/default cmake --install "$BUILD_DIR" >"$work/log" 2>&1 ||
        fail "cmake --install failed: $(tail -3 "$work/log")"
    check_tree "$work/default" "$prefix"
    DESTDIR=$work/opt cmake --install "$BUILD_DIR" --prefix /opt/mapper \
        >"$work/log" 2>&1 || fail "cmake --install --prefix failed: $(tail -3 "$work/log")"
    check_tree "$work/opt" /opt/mapper
}

case_deb_package() {
    local deb=$work/mapper_${VERSION}_amd64.deb field depends pkg report
    need cpack cmake
    need dpkg-shlibdeps dpkg-dev
    need lintian lintian
    cpack -G DEB -B "$work" --config "$BUILD_DIR/CPackConfig.cmake" \
        >"$work/log" 2>&1 || fail "cpack failed: $(tail -5 "$work/log")"
    [ -f "$deb" ] || fail "no $(basename "$deb"): $(ls "$work")"

    for field in Package=mapper Version=$VERSION Architecture=amd64; do
        [ "$(dpkg-deb -f "$deb" "${field%%=*}")" = "${field#*=}" ] ||
            fail "${field%%=*} is not ${field#*=}"
    done
    # The dependencies come from the program's libraries, with versions.
    depends=$(dpkg-deb -f "$deb" Depends)
    for pkg in $LINKED_PACKAGES; do
        awk -v p="$pkg (>= " -F', ' '{ for (i = 1; i <= NF; i++)
                if (index($i, p) == 1) found = 1 } END { exit !found }' \
            <<<"$depends" ||
            fail "Depends lacks $pkg: $depends"
    done
    grep -qE '(^|, )libjs-leaflet(,|$)' <<<"$depends" ||
        fail "Depends lacks libjs-leaflet, which --web reads: $depends"
    grep -qE '(^|, )libvips42 \(>= ' <<<"$depends" ||
        fail "Depends lacks libvips42, which --web loads: $depends"

    [ "$(dpkg-deb -f "$deb" Recommends)" = "x11-utils, xdg-utils" ] ||
        fail "Recommends is '$(dpkg-deb -f "$deb" Recommends)'"

    dpkg-deb -x "$deb" "$work/root" || fail "dpkg-deb -x failed"
    check_tree "$work/root" /usr
    file "$work/root/usr/bin/mapper" | grep -q ', stripped' ||
        fail "the packaged program is not stripped"

    report=$(lintian "$deb" 2>/dev/null)
    ! grep -q '^E:' <<<"$report" || fail "lintian reports errors:"$'\n'"$report"
    [ -z "$report" ] || echo "lintian: $report"

    # The unpacked program maps a world, driven like the built one.
    MAPPER=$work/root/usr/bin/mapper bash "$E2E" return_maps_world1 ||
        fail "the packaged program did not map world 1"
}

# scripts/install on a copy of the sources without any build: it makes the
# package, and builds the program but no test, tool or benchmark.
case_install_route() {
    local source src=$work/src deb
    source=$(cd "$(dirname "$E2E")/../.." && pwd)
    mkdir "$src" && tar -C "$source" --exclude='./build*' -cf - . |
        tar -C "$src" -xf - || fail "cannot copy the sources"
    "$src/scripts/install" --package-only >"$work/log" 2>&1 ||
        fail "scripts/install failed: $(tail -5 "$work/log")"
    deb=$src/build-package/mapper_${VERSION}_amd64.deb
    [ -f "$deb" ] || fail "no $(basename "$deb") in build-package"
    [ -x "$src/build-package/mapper" ] || fail "no program in build-package"
    for built in tools/make_world bench/bench_mapper tests/app/app_tests; do
        [ ! -e "$src/build-package/$built" ] || fail "it built $built"
    done
}

"case_$case_name"
echo "PASS $case_name"
