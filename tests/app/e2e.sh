#!/bin/bash
# End-to-end tests of the mapper program: each case starts its own Xvfb,
# generates worlds into a scratch data folder, drives the program with
# real key presses and mouse clicks through xdotool, and checks its exit
# code, standard output, standard error and the maps it writes.
#
# usage: e2e.sh CASE   (e2e.sh --list prints the cases)
# environment: MAPPER, MAKE_WORLD (paths of the programs), E2E_ARTIFACTS
# (folder that keeps a failing case's screenshot and logs), E2E_LIMIT
# (seconds a case may take, default 40).
set -u

readonly CASES=(return_maps_world1 down_four_maps_world5
    double_click_maps_world3 escape_maps_selected_row quit_no_keeps_selection
    quit_yes_by_key quit_yes_by_click quit_by_keyboard_focus
    missing_change_list message_box_waits arguments_ignored no_display
    depth16_maps_exact depth8_maps_exact)

if [ "${1:-}" = "--list" ]; then
    echo "${CASES[*]}"
    exit 0
fi
case_name=${1:?usage: e2e.sh CASE}
case " ${CASES[*]} " in
    *" $case_name "*) ;;
    *) echo "unknown case $case_name" >&2; exit 2 ;;
esac

MAPPER=${MAPPER:?MAPPER must name the mapper program}
MAKE_WORLD=${MAKE_WORLD:?MAKE_WORLD must name the make_world tool}
E2E_ARTIFACTS=${E2E_ARTIFACTS:-$PWD/e2e-failures}
E2E_LIMIT=${E2E_LIMIT:-40}

# Tools the cases drive the program with, and their Debian packages.
for tool in Xvfb:xvfb xdotool:xdotool import:imagemagick \
    compare:imagemagick xmessage:x11-apps timeout:coreutils ps:procps; do
    command -v "${tool%%:*}" >/dev/null || {
        echo "FAIL $case_name: ${tool%%:*} is missing (apt-get install ${tool#*:})" >&2
        exit 1
    }
done

# Tiles are small so that every world maps in a blink.
readonly TILE=16
# Window coordinates of the dialog's pieces (320 x 160 window).
readonly LIST_X=160 LIST_Y=75            # inside the list box
readonly ROW_X=120 ROW0_Y=55 ROW_STEP=8  # centre of row 0, row height
readonly QUIT_X=160 QUIT_Y=140           # the Quit button
readonly YES_X=127 YES_Y=96              # "Yes" in the quit alert
readonly NO_X=191 NO_Y=96                # "No" in the quit alert
# A press is held this long: the dialog polls the mouse.
readonly PRESS=0.1
# Seconds to wait for the window, for the program to end, and for
# showing that it does not end.
readonly WINDOW_WAIT=15 EXIT_WAIT=15 STAYS_WAIT=1

work=$(mktemp -d "${TMPDIR:-/tmp}/mapper-e2e.XXXXXX") || exit 2
xvfb_pid=
# Colour depth of Xvfb's screen, and make_world's option for the tiles;
# the depth cases change both.
xvfb_depth=24
texture=
app_pid=
watchdog_pid=
display=
wid=

cleanup() {
    trap - EXIT INT TERM
    # The program runs in a process group of its own, so this also ends
    # an xmessage it started.
    if [ -n "$app_pid" ]; then
        kill -TERM -- -"$app_pid" 2>/dev/null
        kill -KILL -- -"$app_pid" 2>/dev/null
        wait "$app_pid" 2>/dev/null
    fi
    if [ -n "$xvfb_pid" ]; then
        kill "$xvfb_pid" 2>/dev/null
        wait "$xvfb_pid" 2>/dev/null
    fi
    [ -n "$watchdog_pid" ] && kill -- -"$watchdog_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
trap 'fail "interrupted (time limit of ${E2E_LIMIT}s reached?)"' TERM INT

# Keeps a screenshot and the logs of the failing case, then ends it.
fail() {
    echo "FAIL $case_name: $*" >&2
    mkdir -p "$E2E_ARTIFACTS"
    if [ -n "$display" ]; then
        DISPLAY=:$display import -window root \
            "$E2E_ARTIFACTS/$case_name.png" 2>/dev/null &&
            echo "screenshot: $E2E_ARTIFACTS/$case_name.png" >&2
    fi
    for f in stdout stderr; do
        if [ -f "$work/$f" ]; then
            cp "$work/$f" "$E2E_ARTIFACTS/$case_name.$f"
            echo "--- $f:" >&2
            head -20 "$work/$f" >&2
        fi
    done
    exit 1
}

# The whole case runs under a time limit of its own. The watchdog has a
# process group of its own so that its sleep ends with it, and no output
# of its own that a test runner would wait on.
set -m
( sleep "$E2E_LIMIT"; kill -TERM $$ ) >/dev/null 2>&1 </dev/null &
watchdog_pid=$!
set +m

mkdir -p "$work/data" "$work/maps" "$work/home" "$work/bin"

# Worlds 1 to 5, world N a row of N tiles so its map is N tiles wide;
# world 4 has GIF tiles and world 5 JPEG tiles, to show that the start-up
# registers those formats.
world_ext() {
    case $1 in
        4) echo gif ;;
        5) echo jpg ;;
        *) echo png ;;
    esac
}

make_worlds() {
    local n ext
    for n in 1 2 3 4 5; do
        ext=$(world_ext "$n")
        "$MAKE_WORLD" "$work/data" --world "$n" --grid "${n}x1" \
            --tile "$TILE" --ext "$ext" $texture >/dev/null ||
            fail "make_world could not write world $n"
    done
}

start_xvfb() {
    local fd_file=$work/displayfd
    Xvfb -displayfd 3 -screen 0 "640x480x$xvfb_depth" -nolisten tcp -noreset \
        3>"$fd_file" 2>"$work/xvfb.log" &
    xvfb_pid=$!
    for _ in $(seq 100); do
        display=$(head -1 "$fd_file" 2>/dev/null)
        [ -n "$display" ] && return 0
        kill -0 "$xvfb_pid" 2>/dev/null || break
        sleep 0.1
    done
    display=
    fail "Xvfb did not start: $(tail -3 "$work/xvfb.log")"
}

x() { DISPLAY=:$display "$@"; }

# Starts the program in the maps folder with a clean environment: the
# scratch data folder, a home without settings, and a PATH that holds
# only what bin/ has (no xmessage unless a case puts it there).
start_mapper() {
    set -m
    (cd "$work/maps" &&
        exec env -i HOME="$work/home" XDG_DATA_HOME="$work/data" \
            PATH="$work/bin" ${display:+DISPLAY=:$display} \
            "$MAPPER" "$@" >"$work/stdout" 2>"$work/stderr") &
    app_pid=$!
    set +m
}

# Waits for the window and for the dialog in it: the window is black until
# the dialog clears it to white and draws the Quit button's black frame.
wait_for_dialog() {
    local white frame
    wid=$(x timeout "$WINDOW_WAIT" xdotool search --sync --onlyvisible \
        --classname allegro 2>/dev/null | head -1)
    [ -n "$wid" ] || fail "no program window within ${WINDOW_WAIT}s"
    for _ in $(seq $((WINDOW_WAIT * 10))); do
        white=$(pixel 2 2) frame=$(pixel 130 140)
        [ "$white$frame" = "#FFFFFF#000000" ] && break
        sleep 0.1
    done
    [ "$white$frame" = "#FFFFFF#000000" ] || fail "the dialog was not drawn"
    # Without a window manager the keyboard follows the pointer. Over the
    # list, the list keeps the focus that the dialog gives it.
    x xdotool mousemove --window "$wid" "$LIST_X" "$LIST_Y"
    sleep 0.1
}

# Colour of one window pixel as #RRGGBB.
pixel() {
    x import -window "$wid" -crop "1x1+$1+$2" -depth 8 txt:- 2>/dev/null |
        grep -o '#[0-9A-F]\{6\}' | head -1
}

keys() { x xdotool key --delay 100 "$@"; }

# A press held long enough for the polling dialog to see it.
click_at() {
    x xdotool mousemove --window "$wid" "$1" "$2" sleep 0.05 \
        mousedown 1 sleep "$PRESS" mouseup 1
}

# One xdotool run for the whole double-click: the library counts it only
# when the press and the gap each stay within about 0.2 s, which separate
# runs of xdotool can overstep on a busy machine.
double_click_at() {
    x xdotool mousemove --window "$wid" "$1" "$2" sleep 0.05 \
        mousedown 1 sleep "$PRESS" mouseup 1 sleep "$PRESS" \
        mousedown 1 sleep "$PRESS" mouseup 1
}

row_y() { echo $((ROW0_Y + $1 * ROW_STEP)); }

# Waits for the program to end and sets rc to its exit code.
wait_for_exit() {
    for _ in $(seq $((EXIT_WAIT * 10))); do
        kill -0 "$app_pid" 2>/dev/null || break
        sleep 0.1
    done
    kill -0 "$app_pid" 2>/dev/null && fail "the program did not end within ${EXIT_WAIT}s"
    wait "$app_pid"
    rc=$?
    app_pid=
}

expect_rc() { [ "$rc" = "$1" ] || fail "exit code $rc, expected $1"; }

expect_no_maps() {
    local left
    left=$(ls -A "$work/maps")
    [ -z "$left" ] || fail "files written: $left"
}

expect_empty() {
    [ ! -s "$work/$1" ] || fail "$1 is not empty"
}

# The run mapped world N: its N tiles logged in order, one map of N
# tiles by one, and nothing else written.
expect_mapped() {
    local n=$1 ext expected map size
    ext=$(world_ext "$n")
    map=map_zoom_0.$ext
    expected=$(sed -e 's/\r$//' -e 's/.*\\Zoom0\\/Zoom0\//' \
            "$work/data/Orvandelquist/World$n/changed.txt" |
        sed "s|^|Blitting $work/data/Orvandelquist/World$n/|")
    expected+=$'\n'"Saving $map"$'\n'"$map saved"
    [ "$(cat "$work/stdout")" = "$expected" ] ||
        fail "standard output is not the log of world $n"
    [ "$(ls -A "$work/maps")" = "$map" ] ||
        fail "expected only $map, found: $(ls -A "$work/maps")"
    size=$(identify -format '%wx%h' "$work/maps/$map" 2>/dev/null)
    [ "$size" = "$((n * TILE))x$TILE" ] ||
        fail "$map is '$size', expected $((n * TILE))x$TILE"
    expect_empty stderr
}

# The map of world 1 is its single tile, pixel for pixel.
expect_map_is_tile() {
    local diff
    if ! convert "$work/maps/map_zoom_0.png" -alpha off "$work/map.ppm" ||
        ! convert "$work/data/Orvandelquist/World1/Zoom0/tile_0_0.png" \
            -alpha off "$work/tile.ppm"; then
        fail "cannot convert the map or the tile"
    fi
    diff=$(compare -metric AE "$work/map.ppm" "$work/tile.ppm" null: 2>&1)
    [ "$diff" = "0" ] || fail "map differs from the tile in $diff pixels"
}

# The map of world N shows its tiles side by side in their own colours, to
# the 6-bit precision of the library's palette for GIF maps: no channel of
# any pixel is off by more than 3 of 255.
expect_map_shows_tiles() {
    local n=$1 ext x tiles=() err
    ext=$(world_ext "$n")
    for ((x = -(n / 2); x < n - n / 2; x++)); do
        tiles+=("$work/data/Orvandelquist/World$n/Zoom0/tile_${x}_0.$ext")
    done
    if ! convert "${tiles[@]}" +append -alpha off "$work/tiles.ppm" ||
        ! convert "$work/maps/map_zoom_0.$ext" -alpha off "$work/map.ppm"; then
        fail "cannot convert the map or the tiles"
    fi
    err=$(compare -metric PAE "$work/map.ppm" "$work/tiles.ppm" null: 2>&1 |
        cut -d' ' -f1)
    [[ "$err" =~ ^[0-9.]+$ ]] || fail "cannot compare the map: $err"
    awk -v e="$err" 'BEGIN { exit !(e <= 3 * 257) }' ||
        fail "map_zoom_0.$ext is off its tiles by $err (of 65535)"
}

# A PNG map is written as RGB (colour type 2), without an alpha channel.
expect_rgb_png() {
    local type
    type=$(od -An -tu1 -j25 -N1 "$work/maps/$1" | tr -d ' ')
    [ "$type" = "2" ] || fail "$1 has PNG colour type '$type', expected 2 (RGB)"
}

# On a desktop of depth $1, textured tiles (colours that 5 or 6 bits a
# component cannot hold): world 1's map is its tile pixel for pixel, and
# world 4's GIF tiles keep their colours.
maps_exact_at_depth() {
    xvfb_depth=$1 texture=--textured
    make_worlds
    start_xvfb
    start_mapper
    wait_for_dialog
    keys Return
    wait_for_exit
    expect_rc 0
    expect_mapped 1
    expect_map_is_tile
    expect_rgb_png map_zoom_0.png
    rm -f "$work/maps"/*
    start_mapper
    wait_for_dialog
    keys Down Down Down Return
    wait_for_exit
    expect_rc 0
    expect_mapped 4
    expect_map_shows_tiles 4
}

# Runs the program on the generated worlds and waits for its dialog.
start_dialog() {
    make_worlds
    start_xvfb
    start_mapper "$@"
    wait_for_dialog
}

case_return_maps_world1() {
    start_dialog
    keys Return
    wait_for_exit
    expect_rc 0
    expect_mapped 1
    expect_map_is_tile
}

case_down_four_maps_world5() {
    start_dialog
    keys Down Down Down Down Return
    wait_for_exit
    expect_rc 0
    expect_mapped 5
}

case_double_click_maps_world3() {
    start_dialog
    double_click_at "$ROW_X" "$(row_y 2)"
    wait_for_exit
    expect_rc 0
    expect_mapped 3
}

# A single click selects without closing; Escape closes, and the row
# selected then is mapped.
case_escape_maps_selected_row() {
    start_dialog
    click_at "$ROW_X" "$(row_y 3)"
    sleep 0.5
    kill -0 "$app_pid" 2>/dev/null || fail "a single click closed the dialog"
    keys Escape
    wait_for_exit
    expect_rc 0
    expect_mapped 4
    expect_map_shows_tiles 4
}

case_quit_no_keeps_selection() {
    start_dialog
    keys Down Down q
    sleep 0.3
    keys n
    sleep 0.3
    kill -0 "$app_pid" 2>/dev/null || fail "'No' ended the program"
    keys Return
    wait_for_exit
    expect_rc 0
    expect_mapped 3
}

expect_quit() {
    wait_for_exit
    expect_rc 0
    expect_empty stdout
    expect_empty stderr
    expect_no_maps
}

case_quit_yes_by_key() {
    start_dialog
    keys Down q
    sleep 0.3
    keys y
    expect_quit
}

case_quit_yes_by_click() {
    start_dialog
    click_at "$QUIT_X" "$QUIT_Y"
    sleep 0.3
    # "No" first: the alert goes away and the dialog is back.
    click_at "$NO_X" "$NO_Y"
    sleep 0.3
    kill -0 "$app_pid" 2>/dev/null || fail "'No' ended the program"
    click_at "$QUIT_X" "$QUIT_Y"
    sleep 0.3
    click_at "$YES_X" "$YES_Y"
    expect_quit
}

# Tab moves the focus from the list to the Quit button; Return presses it.
case_quit_by_keyboard_focus() {
    start_dialog
    keys Tab Return
    sleep 0.3
    keys y
    expect_quit
}

case_depth16_maps_exact() { maps_exact_at_depth 16; }

# At 8 bits the X server offers a PseudoColor visual: the window must
# still open and the maps keep their colours.
case_depth8_maps_exact() { maps_exact_at_depth 8; }

remove_change_list() {
    rm "$work/data/Orvandelquist/World1/changed.txt" ||
        fail "cannot remove changed.txt"
}

case_missing_change_list() {
    make_worlds
    remove_change_list
    start_xvfb
    start_mapper
    wait_for_dialog
    keys Return
    wait_for_exit
    expect_rc 1
    [ "$(cat "$work/stderr")" = "Error opening changed.txt!" ] ||
        fail "standard error does not hold the message"
    expect_empty stdout
    expect_no_maps
}

# With xmessage on PATH the message comes up in a box, and the program
# waits until the box is dismissed.
case_message_box_waits() {
    local box
    make_worlds
    remove_change_list
    ln -s "$(command -v xmessage)" "$work/bin/xmessage" ||
        fail "xmessage is not installed"
    start_xvfb
    start_mapper
    wait_for_dialog
    keys Return
    box=$(x timeout "$WINDOW_WAIT" xdotool search --sync --onlyvisible \
        --classname xmessage 2>/dev/null | head -1)
    [ -n "$box" ] || fail "no message box"
    # The library hands the message to xmessage on its command line.
    pgrep -a -P "$app_pid" | grep -q "Error opening changed.txt!" ||
        fail "the message box does not show the message"
    sleep "$STAYS_WAIT"
    kill -0 "$app_pid" 2>/dev/null || fail "the program did not wait"
    # The box's default button is OK, which Return presses.
    x xdotool mousemove --window "$box" 10 10
    sleep 0.1
    keys Return
    wait_for_exit
    expect_rc 1
    expect_empty stdout
    expect_no_maps
}

case_arguments_ignored() {
    start_dialog 3 --world 5 World2 "-q"
    keys Return
    wait_for_exit
    expect_rc 0
    expect_mapped 1
}

# No X display, and a display that no server serves: a clear message on
# standard error and exit code 1, not a crash.
case_no_display() {
    local n
    make_worlds
    start_mapper
    wait_for_exit
    expect_rc 1
    grep -q "^Error starting the graphics library: .*DISPLAY" \
        "$work/stderr" || fail "no clear message without DISPLAY"
    expect_empty stdout
    expect_no_maps

    for n in $(seq 4000 4100); do
        [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] || break
    done
    display=$n start_mapper
    display=
    wait_for_exit
    expect_rc 1
    grep -q "^Error starting the graphics library" "$work/stderr" ||
        fail "no clear message with a display that is not there"
    expect_no_maps
}

"case_$case_name"
echo "PASS $case_name"
