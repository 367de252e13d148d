#!/bin/bash
# The package lists in scripts/packages.sh against what the build and the
# scripts use, as dpkg sees it on this machine (where ./scripts/setup ran):
#   cmake_modules  each configure a script makes, in a fresh build folder:
#                  every pkg-config module it requires comes from a package
#                  of that script's lists (the .pc file's owner, by dpkg -S),
#                  every library and program it found from one of them or
#                  their dependencies;
#   programs       every program that a script, test or benchmark calls
#                  comes from its lists, their dependencies, or the minimal
#                  Debian system (priority required).
#
# usage: package_lists.sh CASE   (--list prints the cases)
set -u

readonly CASES=(cmake_modules programs)
if [ "${1:-}" = "--list" ]; then
    echo "${CASES[*]}"
    exit 0
fi
case_name=${1:?usage: package_lists.sh CASE}
case " ${CASES[*]} " in
    *" $case_name "*) ;;
    *) echo "unknown case $case_name" >&2; exit 2 ;;
esac

src=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/mapper-lists.XXXXXX") || exit 2
trap 'rm -rf "$work"' EXIT
# shellcheck source=../../scripts/packages.sh
. "$src/scripts/packages.sh"
ALL_PURPOSES=$PACKAGE_PURPOSES
faults=0

fault() {
    echo "FAIL $case_name: $*" >&2
    faults=$((faults + 1))
}

# Installed packages with their dependencies and what they provide:
# "P name", "D name dep" (one alternative each), "V virtual name", and
# "B name" for the minimal system (priority required, or essential).
dpkg-query -W -f='${Package}\t${Priority}\t${Essential}\t${Pre-Depends}, ${Depends}\t${Provides}\t${db:Status-Status}\n' |
    awk -F'\t' '$6 == "installed" {
        print "P", $1
        if ($2 == "required" || $3 == "yes") print "B", $1
        n = split($4, deps, /[,|]/)
        for (i = 1; i <= n; i++) {
            d = deps[i]; sub(/\(.*/, "", d); gsub(/[ \t]/, "", d); sub(/:.*/, "", d)
            if (d != "") print "D", $1, d
        }
        n = split($5, provs, /,/)
        for (i = 1; i <= n; i++) {
            v = provs[i]; sub(/\(.*/, "", v); gsub(/[ \t]/, "", v)
            if (v != "") print "V", v, $1
        }
    }' >"$work/installed"

# The packages that installing the named packages brings: themselves and
# every installed dependency, through virtual packages too.
closure() {
    printf '%s\n' "$@" | awk 'FNR == NR {
            if ($1 == "D") deps[$2] = deps[$2] " " $3
            if ($1 == "V") deps[$2] = deps[$2] " " $3
            next
        }
        { queue[++n] = $1; seen[$1] = 1 }
        END {
            for (i = 1; i <= n; i++) {
                m = split(deps[queue[i]], d, " ")
                for (j = 1; j <= m; j++)
                    if (!(d[j] in seen)) { seen[d[j]] = 1; queue[++n] = d[j] }
            }
            for (p in seen) print p
        }' "$work/installed" - | sort -u
}

# The owning packages of a file, by dpkg -S, one a line; on the merged
# /usr the database may name /bin/x for /usr/bin/x, and a link made by
# update-alternatives belongs to nobody, so its target is asked too.
owners() {
    local path=$1 candidates alias
    candidates=("$path")
    case $path in
        /usr/*) alias=${path#/usr} ;;
        *) alias=/usr$path ;;
    esac
    candidates+=("$alias")
    if [ -L "$path" ]; then
        candidates+=("$(readlink -f "$path")")
        alias=$(readlink -f "$path")
        case $alias in /usr/*) candidates+=("${alias#/usr}") ;; esac
    fi
    for p in "${candidates[@]}"; do
        dpkg-query -S "$p" 2>/dev/null | grep -v '^diversion' |
            awk -v p="$p" 'substr($0, length($0) - length(p) - 1) == ": " p' |
            sed 's/: .*//' | tr -d ' ' | tr , '\n' | sed 's/:.*//' | grep . && return 0
    done
    return 1
}

# Fails when a listed package is not installed here: then nothing can be
# said of what it brings.
check_installed() {
    local p
    for p in $(packages $ALL_PURPOSES); do
        grep -qx "P $p" "$work/installed" ||
            fault "$p is listed but not installed here: run ./scripts/setup"
    done
}

# The purposes a script installs for: the words after install_packages
# (options aside). Scripts that name none are taken to need every list.
purposes_of() {
    local named
    named=$(sed -n 's/^[[:space:]]*install_packages[[:space:]]\+//p' "$1" |
        tr ' ' '\n' | grep -v '^-' | grep . | sort -u)
    [ -n "$named" ] && echo $named || echo $ALL_PURPOSES
}

# Whether one of the owners of the file is in the allowed set (a file of
# package names, one a line).
owned_within() {
    local allowed=$1 path=$2 found
    found=$(owners "$path") || return 2
    grep -qxF -f <(echo "$found") "$allowed"
}

# ---- cmake_modules -------------------------------------------------------

# A configure of a script in a build folder of its own: its name, its
# purposes and cmake's arguments. configure NAME … runs it, check_configure
# NAME PURPOSES then checks what it found.
configure() {
    local name=$1
    shift
    "$@" -S "$src" -B "$work/$name" >"$work/$name.log" 2>&1
    echo $? >"$work/$name.status"
}

check_configure() {
    local name=$1 purposes=$2 dir=$work/$1 module pc owner file
    if [ "$(cat "$work/$name.status")" != 0 ]; then
        fault "the $name configure failed: $(grep -m3 -A2 'Error' "$work/$name.log")"
        return
    fi
    # shellcheck disable=SC2086 # one word per purpose
    packages $purposes >"$work/$name.listed"
    # shellcheck disable=SC2046
    closure $(cat "$work/$name.listed") $(awk '$1 == "B" {print $2}' "$work/installed") \
        >"$work/$name.allowed"
    for module in $(sed -n 's/^__pkg_config_arguments_[^=]*=//p' "$dir/CMakeCache.txt" |
                    tr ';' '\n' | grep -vx 'REQUIRED\|QUIET\|IMPORTED_TARGET\|GLOBAL\|NO_CMAKE_PATH\|NO_CMAKE_ENVIRONMENT_PATH' |
                    sed 's/[<>=].*//' | sort -u); do
        pc=$(pkg-config --path "$module" 2>/dev/null) ||
            { fault "$name: pkg-config does not find module $module"; continue; }
        owner=$(owners "$pc") ||
            { fault "$name: no package owns $pc (module $module)"; continue; }
        grep -qxF -f <(echo "$owner") "$work/$name.listed" ||
            fault "$name: module $module ($pc) comes from $(echo $owner), which the lists {${purposes// /,}} of scripts/packages.sh lack"
    done
    # What the required find_package() calls found (libraries, config
    # folders), the compilers, make and pkg-config; the tools that cmake
    # only tries (llvm-ar beside clang, …) and optional finds are left out.
    for file in $(sed -n '/^CMAKE_C_COMPILER:\|^CMAKE_CXX_COMPILER:\|^CMAKE_MAKE_PROGRAM:\|^PKG_CONFIG_EXECUTABLE:\|^pkgcfg_lib_\|_LIBRARY\(_RELEASE\)\?:/s/^[^=]*:FILEPATH=\(\/.*\)/\1/p
                          s/^[A-Za-z0-9_]*_DIR:PATH=\(\/.*\/cmake\/.*\)/\1/p' \
                  "$dir/CMakeCache.txt"); do
        [ -e "$file" ] || continue
        owned_within "$work/$name.allowed" "$file"
        case $? in
            1) fault "$name: $file comes from $(owners "$file" | xargs), which the lists {${purposes// /,}} of scripts/packages.sh do not bring" ;;
            2) fault "$name: no package owns $file" ;;
        esac
    done
}

case_cmake_modules() {
    # The demo's configure is setup's (tests included) with fewer lists.
    # The three run side by side.
    configure install cmake -DMAPPER_TESTS=OFF &
    configure demo cmake &
    configure fuzz env CC=clang CXX=clang++ cmake -DMAPPER_FUZZ=ON -DMAPPER_TESTS=OFF &
    wait
    check_configure install "$(purposes_of "$src/scripts/install")"
    check_configure demo "$(purposes_of "$src/scripts/demo")"
    check_configure fuzz "$(purposes_of "$src/scripts/setup")"
}

# ---- programs ------------------------------------------------------------

# The words in command position of shell text on standard input, as
# "line word": the first word of each simple command, after assignments
# and after wrappers (env, exec, timeout, command -v, …, and the project's
# shell functions, which may run their arguments), outside quotes and
# comments and inside $( ); here-documents are skipped.
command_words() {
    awk -v SQ="'" -v FUNCTIONS="$work/functions" '
    function flush() {
        if (redirected) {
            # the file of a redirection
        } else if (word != "" && cmdpos) {
            if (word ~ /^[A-Za-z_][A-Za-z_0-9]*(\[[^]]*\])?\+?=/ && !plain) {
                # an assignment: the command follows
            } else if (skipopts && word ~ /^-/) {
            } else if (skiparg) {
                skiparg = 0
            } else if (word in functions || word ~ /^(!|if|then|else|elif|do|while|until|exec|command|env|nice|nohup|setsid|time|sudo|stdbuf|xargs|timeout)$/) {
                skipopts = (word in functions || word ~ /^(command|env|nice|stdbuf|xargs|timeout|sudo)$/)
                skiparg = (word == "timeout")
            } else {
                if (!quoted && word ~ /^[A-Za-z0-9][A-Za-z0-9._+-]*$/)
                    print NR, word
                cmdpos = 0
            }
        }
        if (word != "") redirected = 0
        word = ""; quoted = 0; plain = 0
    }
    function separate() { flush(); cmdpos = 1; skipopts = 0; skiparg = 0 }
    BEGIN {
        cmdpos = 1; depth = 0
        while ((getline f < FUNCTIONS) > 0) functions[f] = 1
    }
    {
        if (heredoc != "") {
            line = $0; sub(/^\t+/, "", line)
            if (line == heredoc) heredoc = ""
            next
        }
        if (match($0, "<<-?[ \t]*[\"" SQ "]?[A-Za-z_]+")) {
            h = substr($0, RSTART, RLENGTH); sub("^<<-?[ \t]*[\"" SQ "]?", "", h)
            pending = h
        }
        s = $0
        for (i = 1; i <= length(s); i++) {
            c = substr(s, i, 1)
            q = mode[depth]
            if (q == "s") {
                if (c == SQ) mode[depth] = ""
                continue
            }
            if (q == "d") {
                if (c == "\\") { i++; continue }
                if (c == "\"") { mode[depth] = ""; continue }
                if (c == "$" && substr(s, i + 1, 1) == "(") {
                    i++; depth++; mode[depth] = ""; separate()
                }
                continue
            }
            if (c == "\\") { i++; if (i <= length(s)) word = word substr(s, i, 1); continue }
            if (c == "#" && word == "") { break }
            if (c == SQ) { mode[depth] = "s"; quoted = 1; continue }
            if (c == "\"") { mode[depth] = "d"; quoted = 1; continue }
            if (c == "$" && substr(s, i + 1, 1) == "{") {
                j = index(substr(s, i), "}")
                if (j == 0) j = length(s) - i + 1
                i += j - 1; quoted = 1; continue
            }
            if (c == "$" && substr(s, i + 1, 1) == "(") { i++; depth++; mode[depth] = ""; separate(); continue }
            if (c == ")" && depth > 0) { flush(); depth--; cmdpos = 0; continue }
            if (c == "$") { quoted = 1; word = word c; continue }
            if (c ~ /[|&;(){}`]/) { separate(); continue }
            if (c ~ /[ \t]/) { flush(); continue }
            if (c ~ /[<>]/) { flush(); redirected = 1; continue }
            word = word c
        }
        if (mode[depth] == "") {
            if (substr(s, length(s), 1) != "\\") { separate() }
            else flush()
        }
        if (pending != "") { heredoc = pending; pending = "" }
    }'
}

# String literals of C++ or JavaScript, one a line, as shell text; those
# that read as prose (", ") are left out.
literals() {
    local pattern='"\([^"\\]\|\\.\)*"'
    case $1 in *.js) pattern="$pattern\\|'\\([^'\\\\]\\|\\\\.\\)*'" ;; esac
    grep -o "$pattern" "$1" | grep -v ', ' |
        sed 's/^.//; s/.$//; s/\\"/"/g; s/\\n/ ; /g'
}

# Functions that the project's shell files define: not programs.
shell_functions() {
    grep -hoE '^[[:space:]]*(function[[:space:]]+)?[A-Za-z_][A-Za-z0-9_]*[[:space:]]*\(\)' "$@" |
        sed 's/^[[:space:]]*//; s/^function[[:space:]]*//; s/[[:space:]]*()$//' | sort -u
}

# Where a program is found among the system's folders (not /usr/local, nor
# a user's).
system_program() {
    PATH=/usr/sbin:/usr/bin:/sbin:/bin type -P "$1"
}

# The checkout's files under the named folders, relative to it, without
# build folders (a fresh machine has no git to ask).
sources() {
    (cd "$src" && find "$@" \( -path './build*' -o -path '*/.git' \) -prune -o \
        -type f -print | sed 's|^\./||' | sort)
}

case_programs() {
    local file purposes word path own key shells
    shells=$(sources scripts tests bench packaging .ci |
        while read -r f; do
            case $f in *.sh) echo "$f" ;;
                *) head -c 32 "$f" | grep -q '^#!.*sh' && echo "$f" ;; esac
        done)
    # shellcheck disable=SC2046
    shell_functions $(cd "$src" && printf "$src/%s\n" $shells) >"$work/functions"
    # The project's own programs and tools, built in the build folder.
    cat $(sources . | grep 'CMakeLists\.txt$' | sed "s|^|$src/|") |
        sed -n 's/.*add_executable(\([A-Za-z0-9_]*\).*/\1/p' >>"$work/functions"
    # "purposes file word" for every command word of every file.
    for file in $shells $(sources tests bench | grep -E '\.(cpp|h|js)$'); do
        purposes=$(case $file in scripts/*) purposes_of "$src/$file" ;; *) echo $ALL_PURPOSES ;; esac)
        case $file in
            *.cpp | *.h | *.js) literals "$src/$file" | command_words ;;
            *) command_words <"$src/$file" ;;
        esac | awk -v k="$(echo $purposes | tr ' ' ,)" -v f="$file" \
            'length($2) > 1 {print k, f, $2}'
    done | sort -u >"$work/calls"
    # Each set of purposes and each word once: what the lists bring, and
    # which packages own the word's program.
    declare -A owner_of allowed_done
    for word in $(awk '{print $3}' "$work/calls" | sort -u); do
        grep -qxF "$word" "$work/functions" && continue
        [ "$(type -t "$word")" = builtin ] || [ "$(type -t "$word")" = keyword ] && continue
        path=$(system_program "$word") || continue
        own=$(owners "$path" | xargs) || own="-"
        owner_of[$word]="$path $own"
    done
    while read -r key file word; do
        [ -n "${owner_of[$word]:-}" ] || continue
        if [ -z "${allowed_done[$key]:-}" ]; then
            # shellcheck disable=SC2046
            closure $(packages ${key//,/ }) $(awk '$1 == "B" {print $2}' "$work/installed") \
                >"$work/allowed.$key"
            allowed_done[$key]=1
        fi
        set -- ${owner_of[$word]}
        path=$1
        shift
        if [ "$1" = - ]; then
            fault "$file calls $word ($path), which no package owns"
        elif ! printf '%s\n' "$@" | grep -qxF -f - "$work/allowed.$key"; then
            fault "$file calls $word ($path, from $*), which the lists {$key} of scripts/packages.sh do not bring"
        fi
    done <"$work/calls"
}

check_installed
"case_$case_name"
[ "$faults" -eq 0 ] || exit 1
echo "ok $case_name"
