#!/bin/bash
# Command line of the sample-world generator: --help, refused command
# lines and where options may stand.
#
# usage: make_world_options.sh CASE   (--list prints the cases)
# environment: MAKE_WORLD (path of the tool)
set -u

readonly CASES=(help_prints_usage refuses_unknown_option
    refuses_missing_value refuses_bad_values options_before_root)

if [ "${1:-}" = "--list" ]; then
    echo "${CASES[*]}"
    exit 0
fi
case_name=${1:?usage: make_world_options.sh CASE}
MAKE_WORLD=${MAKE_WORLD:?MAKE_WORLD must name the make_world tool}

work=$(mktemp -d "${TMPDIR:-/tmp}/make-world-options.XXXXXX") || exit 2
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 2

fail() {
    echo "FAIL $case_name: $*" >&2
    for f in out err; do
        [ -s "$f" ] && { echo "--- $f:"; head -5 "$f"; } >&2
    done
    exit 1
}

# Runs the tool in the scratch folder; rc holds its exit code.
run() {
    "$MAKE_WORLD" "$@" >out 2>err
    rc=$?
}

expect_nothing_written() {
    local left
    left=$(ls -A | grep -v -x -e out -e err)
    [ -z "$left" ] || fail "files written: $left"
}

# A refused command line: exit code 2, what is wrong and the usage on
# standard error, nothing on standard output, nothing written.
expect_refused() {
    local why=$1
    shift
    run "$@"
    [ "$rc" = 2 ] || fail "'$*': exit code $rc, expected 2"
    grep -q "^make_world: .*$why" err || fail "'$*': no message about $why"
    grep -q '^usage: make_world' err || fail "'$*': no usage on standard error"
    [ ! -s out ] || fail "'$*': standard output is not empty"
    expect_nothing_written
}

case_help_prints_usage() {
    local opt
    for opt in --help -h; do
        run "$opt"
        [ "$rc" = 0 ] || fail "$opt: exit code $rc"
        grep -q '^usage: make_world' out || fail "$opt: no usage on standard output"
        grep -q -e '--grid COLSxROWS' out || fail "$opt: options not listed"
        [ ! -s err ] || fail "$opt: standard error is not empty"
        expect_nothing_written
    done
    # Help wins wherever it stands.
    run root --tile 16 --help
    [ "$rc" = 0 ] || fail "--help after ROOT: exit code $rc"
    expect_nothing_written
}

case_refuses_unknown_option() {
    expect_refused "unknown option --colour" root --colour red
    expect_refused "unknown option -x" -x root
}

case_refuses_missing_value() {
    local opt
    for opt in --world --ext --tile --grid; do
        expect_refused "$opt needs a value" root "$opt"
    done
    expect_refused "no ROOT"
    expect_refused "no ROOT" --slash
}

case_refuses_bad_values() {
    expect_refused "'0' for --world" root --world 0
    expect_refused "'two' for --world" root --world two
    expect_refused "'7' for --tile" root --tile 7
    expect_refused "'4097' for --tile" root --tile 4097
    expect_refused "'64px' for --tile" root --tile 64px
    expect_refused "'3' for --grid" root --grid 3
    expect_refused "'3x0' for --grid" root --grid 3x0
    expect_refused "'x2' for --grid" root --grid x2
    expect_refused "more than one ROOT" root other
}

# Options may come before ROOT, and "--" lets ROOT start with a dash.
case_options_before_root() {
    run --world 2 --grid 2x1 --tile 8 --slash data
    [ "$rc" = 0 ] || fail "options before ROOT: exit code $rc"
    [ "$(cat out)" = data/Orvandelquist/World2 ] || fail "printed folder is wrong"
    [ "$(wc -l <data/Orvandelquist/World2/changed.txt)" = 2 ] ||
        fail "changed.txt does not list the 2 tiles"
    run --tile 8 -- --help
    [ "$rc" = 0 ] || fail "ROOT after --: exit code $rc"
    [ -f ./--help/Orvandelquist/World1/changed.txt ] ||
        fail "no world in the folder named --help"
}

"case_$case_name"
echo "PASS $case_name"
