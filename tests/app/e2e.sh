#!/bin/bash
# End-to-end tests of the mapper program: each case starts its own Xvfb,
# generates worlds into a scratch data folder, drives the program with
# real key presses and mouse clicks through xdotool, and checks its exit
# code, standard output, standard error and the maps it writes.
#
# usage: e2e.sh CASE   (e2e.sh --list prints the cases)
# environment: MAPPER, MAKE_WORLD, WM_CLOSE (paths of the programs; the
# last sends the window manager's close request), E2E_ARTIFACTS
# (folder that keeps a failing case's screenshot and logs), E2E_LIMIT
# (seconds a case may take, default 40).
set -u

readonly CASES=(return_maps_world1 down_four_maps_world5
    double_click_maps_world3 escape_maps_selected_row quit_no_keeps_selection
    quit_yes_by_key quit_yes_by_click quit_by_keyboard_focus
    missing_change_list fifo_change_list message_box_waits command_line_answers
    world_option_matches_dialog world_option_missing_change_list
    world_option_reads_wine_prefixes
    output_option_and_quiet output_folder_refused no_display signal_during_save
    signal_during_web_cut other_signals_during_save signals_in_dialog
    output_pipe_closed closed_streams close_yes_quits close_no_keeps_selection
    close_during_compose_stops_run idle_dialog_and_alert_cpu depth16_maps_exact
    depth8_maps_exact progress_bar_and_saving_line stop_yes_keeps_older_map
    stop_no_finishes_run menu_entry_maps_into_pictures menu_error_in_window
    keys_with_pointer_off_list progress_colours_at_depth16 close_as_run_ends
    display_gone watch_window_stop_saves)

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
    compare:imagemagick xmessage:x11-utils xkill:x11-utils timeout:coreutils ps:procps \
    inotifywait:inotify-tools setpriv:util-linux; do
    command -v "${tool%%:*}" >/dev/null || {
        echo "FAIL $case_name: ${tool%%:*} is missing (apt-get install ${tool#*:})" >&2
        exit 1
    }
done

# Tiles are small so that every world maps in a blink.
readonly TILE=16
# Window coordinates of the dialog's pieces (320 x 160 window).
readonly LIST_X=160 LIST_Y=75            # inside the list box
readonly SCREEN_CORNER_X=630 SCREEN_CORNER_Y=470  # outside the window
readonly BLANK_X=290 BLANK_Y=30          # inside, over nothing
readonly ROW_X=120 ROW0_Y=55 ROW_STEP=8  # centre of row 0, row height
readonly QUIT_X=160 QUIT_Y=140           # the Quit button
readonly YES_X=127 YES_Y=96              # "Yes" in the quit alert
readonly NO_X=191 NO_Y=96                # "No" in the quit alert
readonly ALERT_X=150 ALERT_Y=48          # on the alert's top edge
# A press is held this long: the dialog polls the mouse.
readonly PRESS=0.1
# The library draws its own pointer into the window where it has seen the
# X pointer: an arrow whose tip is one pixel up and left of the point,
# outlined in black and filled in white; its first rows are looked for.
readonly ARROW_ROWS=9
# Seconds between looks for that arrow, and looks before the pointer is
# moved to the spot again.
readonly POINTER_LOOK=0.05 POINTER_MOVE_LOOKS=5
# Seconds to wait for the window, for the program to end, and for
# showing that it does not end.
readonly WINDOW_WAIT=15 EXIT_WAIT=15 STAYS_WAIT=1
# Seconds one screenshot of the window may take.
readonly GRAB_LIMIT=10
# Seconds over which the idle processor use is measured, and the share of
# one core (percent) that fails the case; the figure itself is printed.
readonly IDLE_SECONDS=5 IDLE_LIMIT=10
# A world whose composition takes a few seconds: 64 x 64 tiles of 64
# pixels, a 4096 x 4096 map.
readonly BIG_GRID=64x64 BIG_TILE=64
# Seconds within which a refused input ends the program, with room for a
# busy machine.
readonly FATAL_EXIT_WAIT=3

# Cases that root runs as nobody: their work folder and the program must
# be where nobody can reach them, wherever TMPDIR and the build folder lie
# (a checkout under /root is closed to nobody).
readonly OTHER_USER_CASES=" output_folder_refused "
work_base=${TMPDIR:-/tmp}
if [ "$(id -u)" = 0 ] && [[ $OTHER_USER_CASES == *" $case_name "* ]]; then
    work_base=/tmp
fi
work=$(mktemp -d "$work_base/mapper-e2e.XXXXXX") || exit 2
xvfb_pid=
# Colour depth of Xvfb's screen, and make_world's option for the tiles;
# the depth cases change both.
xvfb_depth=24
texture=
app_pid=
# A command that the program runs under, e.g. to run it as another user.
run_as=()
# A watch on the world's files, in the cases that have one.
watch_pid=
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
    [ -n "$watch_pid" ] && kill "$watch_pid" 2>/dev/null
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

mkdir -p "$work/data" "$work/maps" "$work/home" "$work/bin" "$work/tmp"
# Like /tmp, for the cases that run the program as another user.
chmod 1777 "$work/tmp"

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
    # The shell truncates the file in the background job: a number from an
    # earlier server of the case must not be read before that.
    rm -f "$fd_file"
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
# scratch data folder, a home without settings, a temporary folder of the
# case's own and a PATH that holds only what bin/ has (no xmessage unless
# a case puts it there).
start_mapper() {
    start_mapper_streams '>"$work/stdout" 2>"$work/stderr"' "$@"
}

# The same with the redirections of standard streams that $1 gives.
start_mapper_streams() {
    local streams=$1
    shift
    set -m
    (cd "$work/maps" &&
        eval exec '"${run_as[@]}"' env -i HOME='"$work/home"' \
            XDG_DATA_HOME='"$work/data"' TMPDIR='"$work/tmp"' PATH='"$work/bin"' \
            ${display:+DISPLAY=:$display} '"$MAPPER"' '"$@"' "$streams") &
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
    # Without a window manager the keyboard follows the pointer, so the
    # pointer is put into the window. It first leaves for a corner of the
    # screen, so that it enters this window now even where an earlier
    # window of the case lay under it (a window that appears under the
    # pointer may miss the first keys).
    x xdotool mousemove "$SCREEN_CORNER_X" "$SCREEN_CORNER_Y"
    point_at "$LIST_X" "$LIST_Y"
}

# Whether the library's arrow is drawn with its point at ($1, $2): row r
# of it, from the tip's row down, is black, r white pixels and black.
pointer_drawn_at() {
    x import -window "$wid" -crop "$((ARROW_ROWS + 1))x$ARROW_ROWS+$(($1 - 1))+$(($2 - 1))" \
        -depth 8 txt:- 2>/dev/null | awk -v rows="$ARROW_ROWS" '
        NR > 1 { split($1, at, /[,:]/); colour[at[1], at[2]] = $3 }
        END {
            for (r = 0; r < rows; r++)
                for (c = 0; c <= r + 1; c++) {
                    edge = r == 0 || c == 0 || c == r + 1
                    if (colour[c, r] != (edge ? "#000000" : "#FFFFFF"))
                        exit 1
                }
        }'
}

# Moves the pointer to ($1, $2) of the window and waits until the program
# has seen it there: the library's arrow points at that spot. The library
# starts with its own pointer in the middle of the window, and a move made
# just after it started may leave it there for good (the mouse driver
# takes the first motions as relative ones). So the move is made anew,
# from a pixel beside the spot, until the arrow shows there.
point_at() {
    local deadline=$((SECONDS + WINDOW_WAIT)) look=0
    while [ "$SECONDS" -le "$deadline" ]; do
        ((look++ % POINTER_MOVE_LOOKS)) ||
            x xdotool mousemove --window "$wid" "$(($1 + 1))" "$2" \
                mousemove --window "$wid" "$1" "$2"
        # import waits for ever on a window that is gone.
        kill -0 "$app_pid" 2>/dev/null ||
            fail "the program ended before the pointer reached ($1, $2)"
        pointer_drawn_at "$1" "$2" && return 0
        sleep "$POINTER_LOOK"
    done
    fail "the program did not show its pointer at ($1, $2) within ${WINDOW_WAIT}s"
}

# Colour of one window pixel as #RRGGBB.
pixel() {
    x import -window "$wid" -crop "1x1+$1+$2" -depth 8 txt:- 2>/dev/null |
        grep -o '#[0-9A-F]\{6\}' | head -1
}

keys() { x xdotool key --delay 100 "$@"; }

# A press held long enough for the polling dialog to see it.
click_at() {
    point_at "$1" "$2"
    x xdotool mousedown 1 sleep "$PRESS" mouseup 1
}

# One xdotool run for the whole double-click: the library counts it only
# when the press and the gap each stay within about 0.2 s, which separate
# runs of xdotool can overstep on a busy machine.
double_click_at() {
    point_at "$1" "$2"
    x xdotool mousedown 1 sleep "$PRESS" mouseup 1 sleep "$PRESS" \
        mousedown 1 sleep "$PRESS" mouseup 1
}

row_y() { echo $((ROW0_Y + $1 * ROW_STEP)); }

# Waits for the program to end, at most $1 seconds (default EXIT_WAIT),
# and sets rc to its exit code.
wait_for_exit() {
    local limit=${1:-$EXIT_WAIT}
    for _ in $(seq $((limit * 10))); do
        kill -0 "$app_pid" 2>/dev/null || break
        sleep 0.1
    done
    kill -0 "$app_pid" 2>/dev/null && fail "the program did not end within ${limit}s"
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
# tiles by one, and nothing else written into the maps folder (or $2);
# the world read from the data folder (or $3).
expect_mapped() {
    local n=$1 maps=${2:-$work/maps} data=${3:-$work/data} ext expected map size
    ext=$(world_ext "$n")
    map=map_zoom_0.$ext
    expected=$(sed -e 's/\r$//' -e 's/.*\\Zoom0\\/Zoom0\//' \
            "$data/Orvandelquist/World$n/changed.txt" |
        sed "s|^|Blitting $data/Orvandelquist/World$n/|")
    expected+=$'\n'"Saving $map"$'\n'"$map saved"
    [ "$(cat "$work/stdout")" = "$expected" ] ||
        fail "standard output is not the log of world $n"
    [ "$(ls -A "$maps")" = "$map" ] ||
        fail "expected only $map in $maps, found: $(ls -A "$maps")"
    size=$(identify -format '%wx%h' "$maps/$map" 2>/dev/null)
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

# The pointer leaves the window and comes back to a spot of it away from
# the list: the list still takes the keys.
pointer_off_list() {
    x xdotool mousemove "$SCREEN_CORNER_X" "$SCREEN_CORNER_Y"
    point_at "$BLANK_X" "$BLANK_Y"
}

case_keys_with_pointer_off_list() {
    start_dialog
    pointer_off_list
    keys Down Return
    wait_for_exit
    expect_rc 0
    expect_mapped 2
    rm -f "$work/maps"/*
    start_mapper
    wait_for_dialog
    pointer_off_list
    keys Return
    wait_for_exit
    expect_rc 0
    expect_mapped 1
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

# Answers "No" in the quit alert, then maps the row still selected, which
# the case moved to World3.
answer_no_then_map_world3() {
    keys n
    wait_for_dialog_back
    keys Return
    wait_for_exit
    expect_rc 0
    expect_mapped 3
}

case_quit_no_keeps_selection() {
    start_dialog
    keys Down Down q
    wait_for_alert
    answer_no_then_map_world3
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
    wait_for_alert
    keys y
    expect_quit
}

case_quit_yes_by_click() {
    start_dialog
    click_at "$QUIT_X" "$QUIT_Y"
    wait_for_alert
    # "No" first: the alert goes away and the dialog is back.
    click_at "$NO_X" "$NO_Y"
    wait_for_dialog_back
    click_at "$QUIT_X" "$QUIT_Y"
    wait_for_alert
    click_at "$YES_X" "$YES_Y"
    expect_quit
}

# Tab moves the focus from the list to the Quit button; Return presses it.
case_quit_by_keyboard_focus() {
    start_dialog
    keys Tab Return
    wait_for_alert
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
    [ "$(cat "$work/stderr")" = "Error opening changed.txt!
$work/data/Orvandelquist/World1/changed.txt: No such file or directory" ] ||
        fail "standard error does not hold the message, the path and the reason"
    expect_empty stdout
    expect_no_maps
}

# A FIFO in place of changed.txt, which nothing writes: opening it must
# not wait for a writer. The program must end at once with the reason.
case_fifo_change_list() {
    make_worlds
    remove_change_list
    mkfifo "$work/data/Orvandelquist/World1/changed.txt" ||
        fail "cannot make the FIFO"
    start_xvfb
    start_mapper
    wait_for_dialog
    keys Return
    wait_for_exit "$FATAL_EXIT_WAIT"
    expect_rc 1
    [ "$(cat "$work/stderr")" = "Error opening changed.txt!
$work/data/Orvandelquist/World1/changed.txt: not a regular file (a FIFO)" ] ||
        fail "standard error does not hold the message, the path and the reason"
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

# Help, version and usage errors need no display. A bad command line gets
# one line of reason and the usage on standard error and exit code 2, with
# nothing read or written.
case_command_line_answers() {
    local reason args
    start_mapper --help
    wait_for_exit
    expect_rc 0
    [ "$(head -1 "$work/stdout")" = "Usage: mapper [OPTION]..." ] &&
        grep -q -- '--world=N' "$work/stdout" || fail "--help does not show the usage"
    expect_empty stderr
    start_mapper -V
    wait_for_exit
    expect_rc 0
    [ "$(cat "$work/stdout")" = "mapper 1.2.0" ] || fail "-V does not show the version"
    # An answer that cannot be written fails, as GNU tools do.
    while IFS='|' read -r reason streams; do
        for args in --help --version; do
            start_mapper_streams "$streams" $args
            wait_for_exit
            expect_rc 1
            [ "$(cat "$work/stderr")" = "mapper: write error: $reason" ] ||
                fail "$args: stderr is '$(cat "$work/stderr")'"
        done
    done <<'EOF'
No space left on device|>/dev/full 2>"$work/stderr"
Bad file descriptor|>&- 2>"$work/stderr"
EOF
    while IFS='|' read -r reason args; do
        # shellcheck disable=SC2086  # the words of the command line
        start_mapper $args
        wait_for_exit
        expect_rc 2
        [ "$(head -1 "$work/stderr")" = "mapper: $reason" ] ||
            fail "'$args': the reason is not '$reason'"
        [ "$(sed -n 2p "$work/stderr")" = "Usage: mapper [OPTION]..." ] ||
            fail "'$args': no usage after the reason"
        expect_empty stdout
        expect_no_maps
    done <<'EOF'
unexpected argument '3'|3 --world 5 World2 -q
invalid world '0' (1 to 5)|--world 0
invalid world '6' (1 to 5)|-w6
invalid world 'two' (1 to 5)|--world=two
unknown option --colour|--colour
option --world needs a value|-q --world
option --w is ambiguous (--world, --web or --watch)|--w 1
EOF
}

# The maps of world N go to $work/dialogN with the log beside them.
keep_dialog_maps() {
    mkdir "$work/dialog$1" && mv "$work/maps"/* "$work/dialog$1/" &&
        cp "$work/stdout" "$work/dialog$1.log" || fail "cannot keep the maps of world $1"
}

stop_xvfb() {
    kill "$xvfb_pid" && wait "$xvfb_pid" 2>/dev/null
    xvfb_pid= display=
}

# --world with no X server at all (DISPLAY unset) writes byte for byte the
# maps that the dialog writes, with the same log, for PNG, GIF and JPEG
# worlds.
case_world_option_matches_dialog() {
    local n i downs ext
    texture=--textured
    make_worlds
    start_xvfb
    for n in 1 4 5; do
        downs=()
        for ((i = 1; i < n; i++)); do downs+=(Down); done
        start_mapper
        wait_for_dialog
        keys "${downs[@]}" Return
        wait_for_exit
        expect_rc 0
        expect_mapped "$n"
        keep_dialog_maps "$n"
    done
    stop_xvfb
    for n in 1 4 5; do
        ext=$(world_ext "$n")
        start_mapper --world "$n"
        wait_for_exit
        expect_rc 0
        expect_mapped "$n"
        cmp -s "$work/dialog$n.log" "$work/stdout" ||
            fail "world $n: the log differs from the dialog's"
        cmp "$work/dialog$n/map_zoom_0.$ext" "$work/maps/map_zoom_0.$ext" >&2 ||
            fail "world $n: map_zoom_0.$ext differs from the dialog's"
        rm "$work/maps"/*
    done
}

# An xmessage that records each call in $work/xmessage.calls.
xmessage_recorder() {
    printf '#!/bin/sh\necho "$*" >>"%s/xmessage.calls"\n' "$work" \
        >"$work/bin/xmessage" && chmod +x "$work/bin/xmessage" ||
        fail "cannot write the xmessage stand-in"
}

# In --world mode an error goes to standard error and never into a message
# box, without a display and with one at hand.
case_world_option_missing_change_list() {
    local pass
    make_worlds
    remove_change_list
    xmessage_recorder
    for pass in "no display" "a display"; do
        [ "$pass" = "a display" ] && start_xvfb
        start_mapper --world 1
        wait_for_exit "$FATAL_EXIT_WAIT"
        expect_rc 1
        [ "$(cat "$work/stderr")" = "Error opening changed.txt!
$work/data/Orvandelquist/World1/changed.txt: No such file or directory" ] ||
            fail "with $pass, standard error does not hold the message, the path and the reason"
        expect_empty stdout
        expect_no_maps
        [ ! -e "$work/xmessage.calls" ] ||
            fail "with $pass, xmessage was called: $(cat "$work/xmessage.calls")"
    done
}

# The usual folder lacks world 1: --world 1 reads the copy whose list
# changed last, in a Proton prefix of a second Steam library that the
# libraryfolders.vdf of ~/.steam/steam (a link to ~/.local/share/Steam)
# names, and says so on standard error with the older copy in ~/.wine;
# the log is the usual one. The dialog's run reads the same; --data reads
# the copy it names.
case_world_option_reads_wine_prefixes() {
    local home steam library proton wine data run
    home=$(realpath "$work/home") || fail "cannot resolve $work/home"
    steam=$home/.local/share/Steam library=$(realpath "$work")/library
    proton=$library/steamapps/compatdata/4242/pfx/drive_c/users/steamuser/AppData/Roaming
    wine=$home/.wine/drive_c/users/me/AppData/Roaming
    mkdir -p "$steam/steamapps" "$home/.steam" "$library" &&
        ln -s "$steam" "$home/.steam/steam" || fail "cannot make Steam's folders"
    printf '"libraryfolders"\n{\n\t"0"\n\t{\n\t\t"path"\t\t"%s"\n\t}\n\t"1"\n\t{\n\t\t"path"\t\t"%s"\n\t}\n}\n' \
        "$steam" "$library" >"$steam/steamapps/libraryfolders.vdf" ||
        fail "cannot write libraryfolders.vdf"
    for data in "$wine" "$proton"; do
        "$MAKE_WORLD" "$data" --world 1 --grid 1x1 --tile "$TILE" >/dev/null ||
            fail "make_world could not write world 1 into $data"
    done
    touch -d '1 hour ago' "$wine/Orvandelquist/World1/changed.txt"
    for run in --world dialog; do
        if [ "$run" = dialog ]; then
            start_xvfb
            start_mapper
            wait_for_dialog
            keys Return
        else
            start_mapper --world 1
        fi
        wait_for_exit
        expect_rc 0
        [ "$(cat "$work/stderr")" = "Reading world 1 from $proton/Orvandelquist/World1
Warning: world 1 is also in $wine/Orvandelquist/World1, not read: its changed.txt is older" ] ||
            fail "$run: standard error does not name the copy read and the other"
        : >"$work/stderr"
        expect_mapped 1 "$work/maps" "$proton"
        rm "$work/maps"/*
    done
    start_mapper --world 1 --data "$wine"
    wait_for_exit
    expect_rc 0
    [ "$(cat "$work/stderr")" = "Reading world 1 from $wine/Orvandelquist/World1" ] ||
        fail "--data: standard error does not name the folder read"
    : >"$work/stderr"
    expect_mapped 1 "$work/maps" "$wine"
}

# --output sends the maps into the folder it names, with the dialog and
# without, a relative name from the current folder; --quiet leaves
# standard output empty and the warnings on standard error.
case_output_option_and_quiet() {
    local other=$work/other
    make_worlds
    mkdir "$other" || fail "cannot make $other"
    echo "not-a-tile" >>"$work/data/Orvandelquist/World2/changed.txt"
    start_mapper --world 2 --quiet --output "$other"
    wait_for_exit
    expect_rc 0
    expect_empty stdout
    [ "$(cat "$work/stderr")" = "changed.txt line 3 skipped: no file extension" ] ||
        fail "--quiet changed standard error"
    expect_no_maps
    [ "$(ls -A "$other")" = map_zoom_0.png ] || fail "$other holds: $(ls -A "$other")"
    rm "$other"/*
    start_xvfb
    start_mapper -o ../other
    wait_for_dialog
    keys Down Down Return
    wait_for_exit
    expect_rc 0
    expect_mapped 3 "$other"
    expect_no_maps
}

# A folder that cannot take the maps stops the run before any file of the
# world is opened, even for a world of thousands of tiles: a message with
# the folder and the reason, and exit code 1. Root may write anywhere, so
# root runs the program as nobody.
case_output_folder_refused() {
    local world=$work/data/Orvandelquist/World1 dir what reason
    "$MAKE_WORLD" "$work/data" --world 1 --grid 64x64 --tile "$TILE" \
        >/dev/null || fail "make_world could not write world 1"
    touch "$work/a-file" && mkdir "$work/read-only" &&
        chmod 555 "$work/read-only" || fail "cannot make the folders"
    if [ "$(id -u)" = 0 ]; then
        mkdir "$work/program" && cp "$MAPPER" "$work/program/mapper" &&
            chmod -R a+rX "$work" || fail "cannot open $work to nobody"
        MAPPER=$work/program/mapper
        run_as=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
    fi
    # Writable but not readable: enough for the maps, not for --web, which
    # lists the folder.
    mkdir "$work/write-only" && chmod 300 "$work/write-only" ||
        fail "cannot make the write-only folder"
    [ "$(id -u)" != 0 ] || chown nobody:nogroup "$work/write-only" ||
        fail "cannot give the write-only folder to nobody"
    inotifywait -m -r -e open --format '%w%f' -o "$work/opened" "$world" \
        >/dev/null 2>"$work/inotify.log" &
    watch_pid=$!
    for _ in $(seq 50); do
        grep -q "Watches established" "$work/inotify.log" && break
        sleep 0.1
    done
    grep -q "Watches established" "$work/inotify.log" || fail "inotifywait did not start"
    while IFS='|' read -r dir what reason web; do
        start_mapper --world 1 --output "$dir" $web
        wait_for_exit "$FATAL_EXIT_WAIT"
        expect_rc 1
        [ "$(cat "$work/stderr")" = "Error $what the output folder!
$dir: $reason" ] || fail "$dir: not the message, the folder and the reason"
        expect_empty stdout
    done <<EOF
$work/none|opening|No such file or directory
$work/a-file|opening|Not a directory
$work/read-only|writing into|Permission denied
$work/write-only|reading|Permission denied|--web
EOF
    [ -z "$(ls -A "$work/read-only")" ] || fail "files left in the read-only folder"
    chmod 700 "$work/write-only" &&
        [ -z "$(ls -A "$work/write-only")" ] || fail "files left in the write-only folder"
    # The watch sees an open, and had seen none of the program's.
    cat "$world/changed.txt" >/dev/null
    for _ in $(seq 50); do
        grep -qx "$world/changed.txt" "$work/opened" 2>/dev/null && break
        sleep 0.1
    done
    kill "$watch_pid"
    wait "$watch_pid" 2>/dev/null
    watch_pid=
    [ "$(cat "$work/opened")" = "$world/changed.txt" ] ||
        fail "files of the world were opened: $(head -3 "$work/opened")"
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

# World 1 lists one textured tile at every cell of a 16 x 16 grid (or $1
# x $1), the same file linked under each name: quick to make and to load,
# while its 4096-pixel map takes about a second to write. The 24 x 24
# world takes a second or two to place and three to write.
readonly SAVE_GRID=16 SAVE_TILE=256 SLOW_GRID=24
make_big_world() {
    local folder=$work/data/Orvandelquist/World1 line x y grid=${1:-$SAVE_GRID}
    "$MAKE_WORLD" "$work/data" --world 1 --grid 1x1 --tile "$SAVE_TILE" \
        --textured >/dev/null || fail "make_world could not write world 1"
    line=$(head -1 "$folder/changed.txt")
    for ((y = 0; y < grid; y++)); do
        for ((x = 0; x < grid; x++)); do
            [ "$x,$y" = 0,0 ] ||
                ln "$folder/Zoom0/tile_0_0.png" "$folder/Zoom0/tile_${x}_$y.png" ||
                fail "cannot link tile ${x}_$y"
            printf '%s\n' "${line/tile_0_0/tile_${x}_$y}"
        done
    done >"$work/changed.txt"
    mv "$work/changed.txt" "$folder/changed.txt"
}

# Waits until the map's temporary file is there and being written: its
# private folder holds a file with bytes in it.
wait_for_save_in_progress() {
    for _ in $(seq $((EXIT_WAIT * 50))); do
        [ -n "$(find "$work/maps" -path '*/map_zoom_*.part*' -type f \
            -size +0 2>/dev/null | head -1)" ] && break
        kill -0 "$app_pid" 2>/dev/null || fail "the program ended before saving"
        sleep 0.02
    done
    grep -q ' saved$' "$work/stdout" &&
        fail "the map was saved before the signal: make the world bigger"
    ls -A "$work/maps" | grep -q '\.part' || fail "no temporary map appeared"
}

# Signal $1 while the map is being written, by the dialog or, with
# --world 1 as the rest, without it: the program removes the temporary
# file, keeps the older map ($work/older.png) and exits with 128 plus the
# signal's number.
stop_during_save() {
    local sig=$1 older=$work/older.png
    shift
    cp "$older" "$work/maps/map_zoom_0.png"
    start_mapper "$@"
    if [ $# = 0 ]; then
        wait_for_dialog
        keys Return
    fi
    wait_for_save_in_progress
    kill -s "$sig" "$app_pid"
    wait_for_exit
    expect_rc $((128 + $(kill -l "$sig")))
    cmp -s "$older" "$work/maps/map_zoom_0.png" ||
        fail "SIG$sig replaced the older map"
    [ "$(ls -A "$work/maps")" = map_zoom_0.png ] ||
        fail "SIG$sig left: $(ls -A "$work/maps" | tr '\n' ' ')"
    expect_empty stderr
}

# Each signal in turn while the dialog run writes its map.
signals_during_save() {
    local sig
    make_big_world
    convert -size 8x8 xc:red "$work/older.png" || fail "cannot make the older map"
    start_xvfb
    for sig in "$@"; do
        stop_during_save "$sig"
    done
}

case_signal_during_save() {
    signals_during_save INT TERM HUP QUIT
    # The same without any X server.
    stop_xvfb
    stop_during_save TERM --world 1
}
case_other_signals_during_save() { signals_during_save USR1 USR2 ALRM PIPE; }

# Ctrl+C (SIGINT to the whole process group) and the other exit signals
# while the dialog waits: 128 plus the signal's number every time, never
# a crash, nothing written.
case_signals_in_dialog() {
    local sig
    make_worlds
    start_xvfb
    for sig in INT INT INT INT INT QUIT USR1 PIPE; do
        start_mapper
        wait_for_dialog
        kill -s "$sig" -- -"$app_pid"
        wait_for_exit
        expect_rc $((128 + $(kill -l "$sig")))
        expect_no_maps
    done
}

# Waits until the web map's unfinished folder holds tiles while the cut
# goes on.
wait_for_web_cut_in_progress() {
    for _ in $(seq $((EXIT_WAIT * 50))); do
        find "$work/maps" -path '*/map_web.part-*/z0/*' -name '*.png' \
            2>/dev/null | grep -q . && break
        kill -0 "$app_pid" 2>/dev/null || fail "the program ended before cutting"
        sleep 0.02
    done
    grep -q ' done$' "$work/stdout" &&
        fail "the web map was cut before the signal: make the world bigger"
    find "$work/maps" -path '*/map_web.part-*/z0/*' -name '*.png' | grep -q . ||
        fail "no unfinished web map appeared"
}

# SIGINT, SIGTERM and SIGHUP while the web map is cut: the program removes
# its unfinished folder, keeps the older web map and exits with 128 plus
# the signal's number.
case_signal_during_web_cut() {
    local sig
    make_big_world
    start_mapper --world 1 --web
    wait_for_exit
    expect_rc 0
    cp -a "$work/maps" "$work/older" || fail "cannot keep the older maps"
    for sig in INT TERM HUP; do
        start_mapper --world 1 --web
        wait_for_web_cut_in_progress
        kill -s "$sig" "$app_pid"
        wait_for_exit
        expect_rc $((128 + $(kill -l "$sig")))
        diff -r "$work/older" "$work/maps" >&2 ||
            fail "SIG$sig changed the older maps or left files"
        expect_empty stderr
    done
    # A killed run cannot clean up: the next run removes what it left.
    start_mapper --world 1 --web
    wait_for_web_cut_in_progress
    kill -s KILL "$app_pid"
    wait_for_exit
    ls -A "$work/maps" | grep -q '^map_web\.part-' || fail "SIGKILL left no folder"
    start_mapper --world 1 --web
    wait_for_exit
    expect_rc 0
    [ "$(ls -A "$work/maps")" = "$(ls -A "$work/older")" ] ||
        fail "the killed run's folder stayed: $(ls -A "$work/maps" | tr '\n' ' ')"
}

# Nothing of the run is left in the temporary folder.
expect_no_tile_links() {
    local left
    left=$(ls -A "$work/tmp")
    [ -z "$left" ] || fail "left in TMPDIR: $left"
}

make_world_of_many_tiles() {
    "$MAKE_WORLD" "$work/data" --world 1 --grid "$BIG_GRID" \
        --tile "$BIG_TILE" >/dev/null || fail "make_world could not write world 1"
}

# mapper | head -1: the pipe closes while tiles load; SIGPIPE ends the run
# as the other signals do.
case_output_pipe_closed() {
    make_world_of_many_tiles
    start_xvfb
    start_mapper_streams '2>"$work/stderr" | head -1 >"$work/stdout"; exit ${PIPESTATUS[0]}'
    wait_for_dialog
    keys Return
    wait_for_exit
    expect_rc 141
    [ "$(wc -l <"$work/stdout")" = 1 ] || fail "head did not get its line"
    expect_no_tile_links
    expect_no_maps
    expect_empty stderr
}

# Standard streams closed by the caller: the X connection must not take
# their place, the run maps as usual.
case_closed_streams() {
    local streams
    start_dialog_streams() {
        start_mapper_streams "$1"
        wait_for_dialog
        keys Return
        wait_for_exit
        expect_rc 0
        [ "$(ls -A "$work/maps")" = map_zoom_0.png ] ||
            fail "with $1: $(ls -A "$work/maps")"
        rm -f "$work/maps/map_zoom_0.png"
    }
    make_worlds
    start_xvfb
    for streams in '>&- 2>"$work/stderr"' '<&- >&- 2>&-'; do
        start_dialog_streams "$streams"
    done
    expect_empty stderr
}

# The window manager's close request, as the title bar's close button
# sends it.
close_window() {
    [ -x "${WM_CLOSE:-}" ] || fail "WM_CLOSE must name the wm_close helper"
    x "$WM_CLOSE" "$wid" || fail "cannot send the close request"
}

# Waits for the pixel on the quit alert's frame to turn $1: black while
# the alert is up, white when the dialog is back. $2 says what the
# program's end would mean, $3 what a wait in vain does.
wait_for_alert_edge() {
    for _ in $(seq $((WINDOW_WAIT * 10))); do
        # import waits for ever on a window that is gone.
        kill -0 "$app_pid" 2>/dev/null || fail "$2"
        [ "$(pixel "$ALERT_X" "$ALERT_Y")" = "$1" ] && return 0
        sleep 0.1
    done
    fail "$3 within ${WINDOW_WAIT}s"
}

wait_for_alert() {
    wait_for_alert_edge "#000000" "the program ended without asking" \
        "no quit alert"
}

# The alert went and the program still runs.
wait_for_dialog_back() {
    wait_for_alert_edge "#FFFFFF" "'No' ended the program" \
        "the quit alert did not go"
}

# In the dialog the close button asks first, like Quit: "Yes" ends the
# program with nothing read or written.
case_close_yes_quits() {
    start_dialog
    keys Down
    close_window
    wait_for_alert
    keys y
    expect_quit
}

# "No" goes back to the dialog with the selection it had.
case_close_no_keeps_selection() {
    start_dialog
    keys Down Down
    close_window
    wait_for_alert
    answer_no_then_map_world3
}

# A close request while the maps are composed asks "Stop mapping?"; Yes
# stops the run as SIGTERM does: exit code 143, the older map kept as it was, and
# no temporary file left behind.
case_close_during_compose_stops_run() {
    local left
    "$MAKE_WORLD" "$work/data" --world 1 --grid "$BIG_GRID" \
        --tile "$BIG_TILE" >/dev/null || fail "make_world could not write world 1"
    convert -size 8x8 xc:red "$work/maps/map_zoom_0.png" ||
        fail "cannot write the older map"
    cp "$work/maps/map_zoom_0.png" "$work/older.png"
    start_xvfb
    start_mapper
    wait_for_dialog
    keys Return
    for _ in $(seq $((EXIT_WAIT * 50))); do
        grep -q '^Blitting ' "$work/stdout" 2>/dev/null && break
        kill -0 "$app_pid" 2>/dev/null || break
        sleep 0.02
    done
    grep -q '^Blitting ' "$work/stdout" || fail "the composition did not start"
    close_window
    wait_for_alert
    keys y
    wait_for_exit
    expect_rc 143
    grep -q ' saved$' "$work/stdout" && fail "a map was saved after the close request"
    cmp -s "$work/maps/map_zoom_0.png" "$work/older.png" ||
        fail "the older map was changed"
    left=$(ls -A "$work/maps")
    [ "$left" = map_zoom_0.png ] || fail "files left behind: $left"
}

# Started from the menu, close requests from the moment the map is saved
# (the web map is still being finished) until the summary shows: the stop
# question that one of them opens goes when the run has done its work,
# and none of them makes the finished run exit 143: the summary shows
# until a request or Close closes it.
case_close_as_run_ends() {
    local sent=0
    make_big_world
    start_xvfb
    start_from_menu
    wait_for_dialog
    keys Return
    until grep -q ' saved$' "$work/stdout" 2>/dev/null; do
        kill -0 "$app_pid" 2>/dev/null || fail "the program ended before saving"
        sleep 0.01
    done
    for _ in $(seq 40); do
        kill -0 "$app_pid" 2>/dev/null || break
        x "$WM_CLOSE" "$wid" 2>/dev/null && sent=$((sent + 1))
        sleep 0.05
    done
    echo "$sent close requests as the run ended"
    # A request that reached the summary closed it; else Close does.
    if kill -0 "$app_pid" 2>/dev/null; then
        wait_for_pixels_black "no summary after the run" $OPEN_BUTTON $CLOSE_BUTTON
        keys c
    fi
    wait_for_exit
    expect_rc 0
    [ -f "$work/home/Pictures/Mapper/World1/map_zoom_0.png" ] ||
        fail "the map is not in the pictures folder"
}

# The pixels of the rectangle of $1 x $2 at ($3, $4) of the window, or of
# the screenshot file that $wid names, one "x,y: ... #RRGGBB ..." a line.
pixels_of() {
    # import waits for ever on a window that is gone: bounded here.
    local grab=(x timeout "$GRAB_LIMIT" import -window "$wid")
    [ -f "$wid" ] && grab=(convert "$wid")
    "${grab[@]}" -crop "$1x$2+$3+$4" -depth 8 txt:- 2>/dev/null
}

# How many of those pixels have colour $5.
count_colour() { pixels_of "$@" | grep -c "$5"; }

# The progress window's pieces (see app/progress_window.cpp): the tile
# bar's inside, its fill colour, the saving line and the strip whose
# block moves while a map is written.
readonly BAR_ROW="278 1 21 48" BAR_FILL="#286EC8"
readonly SAVING_LINE="280 8 20 74" STRIP_ROW="278 1 21 91" BLOCK="#E68C1E"
readonly BAR_FULL=278

# Placing the tiles the bar grows, with no saving line yet; while the map
# is written the saving line is there and the strip's block moves, three
# looks 0.3 s apart finding it in at least two places.
case_progress_bar_and_saving_line() {
    local widths=() w text positions=() p window
    make_big_world "$SLOW_GRID"
    start_xvfb
    start_mapper
    wait_for_dialog
    window=$wid
    keys Return
    while ! grep -q '^Saving ' "$work/stdout"; do
        kill -0 "$app_pid" 2>/dev/null || fail "the program ended before saving"
        w=$(count_colour $BAR_ROW "$BAR_FILL")
        text=$(count_colour $SAVING_LINE "#000000")
        if [ "$w" -gt 0 ] && [ "$w" -lt "$BAR_FULL" ] &&
            ! grep -q '^Saving ' "$work/stdout"; then
            [ "$text" = 0 ] || fail "a saving line while tiles are placed"
            widths+=("$w")
        fi
        sleep 0.1
    done
    [ "${#widths[@]}" -ge 2 ] && [ "${widths[-1]}" -gt "${widths[0]}" ] ||
        fail "the bar did not advance while placing: ${widths[*]:-no partial bar}"
    # The window's first redraw after the save began shows the saving line.
    for _ in $(seq $((WINDOW_WAIT * 10))); do
        # import waits for ever on a window that is gone.
        kill -0 "$app_pid" 2>/dev/null || break
        [ "$(count_colour $SAVING_LINE "#000000")" -gt 0 ] && break
        sleep 0.1
    done
    # One screenshot a look, taken before the map is known to be unsaved.
    for _ in 1 2 3; do
        x timeout "$GRAB_LIMIT" import -window "$wid" "$work/look.ppm" \
            2>/dev/null || {
            kill -0 "$app_pid" 2>/dev/null ||
                fail "the program ended before three looks at the save"
            fail "no screenshot of the window while saving"
        }
        grep -q ' saved$' "$work/stdout" && fail "the map was saved too soon"
        wid=$work/look.ppm
        [ "$(count_colour $SAVING_LINE "#000000")" -gt 0 ] ||
            fail "no saving line while the map is written"
        [ "$(count_colour $BAR_ROW "$BAR_FILL")" = "$BAR_FULL" ] ||
            fail "the bar is not full while the map is written"
        p=$(pixels_of $STRIP_ROW | grep -m1 "$BLOCK" | cut -d, -f1)
        wid=$window
        [ -n "$p" ] || fail "no moving block while the map is written"
        positions+=("$p")
        sleep 0.25
    done
    [ "$(printf '%s\n' "${positions[@]}" | sort -u | wc -l)" -ge 2 ] ||
        fail "the window was not redrawn while saving: ${positions[*]}"
    wait_for_exit
    expect_rc 0
    echo "bar widths ${widths[*]}; block at ${positions[*]}"
}

# On a 16-bit screen, while the compose changes the library's colour
# depth around each tile load, every frame of the window shows the bar in
# its blue and the hint in its grey (as 16 bits hold them): no other
# colour from the bar's row down to the hint's.
readonly BAR_FILL_16="#296DCD" HINT_GREY_16="#6A6D6A"
readonly BAR_TO_HINT="280 100 20 48"
case_progress_colours_at_depth16() {
    local frames=0 wrong=0 colours
    xvfb_depth=16
    make_big_world "$SLOW_GRID"
    start_xvfb
    start_mapper
    wait_for_dialog
    keys Return
    while ! grep -q '^Saving ' "$work/stdout"; do
        kill -0 "$app_pid" 2>/dev/null || fail "the program ended before saving"
        grep -q '^Blitting ' "$work/stdout" || { sleep 0.05; continue; }
        # shellcheck disable=SC2086 # the rectangle's numbers
        colours=$(pixels_of $BAR_TO_HINT | grep -o '#[0-9A-F]\{6\}' | sort -u |
            grep -v -e '#FFFFFF' -e '#000000' -e "$BAR_FILL_16" -e "$HINT_GREY_16")
        # A frame taken as the saving line appears is not counted.
        grep -q '^Saving ' "$work/stdout" && break
        frames=$((frames + 1))
        [ -z "$colours" ] || wrong=$((wrong + 1))
    done
    echo "$wrong of $frames frames in other colours"
    [ "$frames" -ge 3 ] || fail "only $frames frames while the tiles were placed"
    [ "$wrong" = 0 ] || fail "$wrong of $frames frames drawn in other colours"
    wait_for_exit
    expect_rc 0
}

# Starts a run on the slow world with the older map $1 in place and
# presses Return.
start_slow_run() {
    cp "$1" "$work/maps/map_zoom_0.png"
    start_mapper
    wait_for_dialog
    keys Return
}

expect_older_map_only() {
    cmp -s "$1" "$work/maps/map_zoom_0.png" || fail "$2 replaced the older map"
    [ "$(ls -A "$work/maps")" = map_zoom_0.png ] ||
        fail "$2 left: $(ls -A "$work/maps" | tr '\n' ' ')"
}

# Escape while the tiles are placed, and q while the map is written, ask
# "Stop mapping?"; Yes stops the run as SIGTERM does.
case_stop_yes_keeps_older_map() {
    local older=$work/older.png
    make_big_world "$SLOW_GRID"
    start_xvfb
    convert -size 8x8 xc:red "$older" || fail "cannot make the older map"
    start_slow_run "$older"
    for _ in $(seq $((EXIT_WAIT * 50))); do
        grep -q '^Blitting ' "$work/stdout" 2>/dev/null && break
        sleep 0.02
    done
    keys Escape
    wait_for_alert
    keys y
    wait_for_exit
    expect_rc 143
    expect_older_map_only "$older" "Escape and Yes"
    start_slow_run "$older"
    wait_for_save_in_progress
    keys q
    wait_for_alert
    keys y
    wait_for_exit
    expect_rc 143
    expect_older_map_only "$older" "q and Yes"
}

# No goes on: the run ends as if nothing was asked.
case_stop_no_finishes_run() {
    make_big_world
    start_xvfb
    start_mapper
    wait_for_dialog
    keys Return
    for _ in $(seq $((EXIT_WAIT * 50))); do
        grep -q '^Blitting ' "$work/stdout" 2>/dev/null && break
        sleep 0.02
    done
    keys Escape
    wait_for_alert
    sleep "$STAYS_WAIT"
    grep -q '^Saving ' "$work/stdout" && fail "the run went on during the question"
    keys n
    wait_for_exit
    expect_rc 0
    [ "$(grep -c '^Blitting ' "$work/stdout")" = $((SAVE_GRID * SAVE_GRID)) ] &&
        grep -q '^map_zoom_0.png saved$' "$work/stdout" ||
        fail "the run did not finish after No"
    [ "$(identify -format '%wx%h' "$work/maps/map_zoom_0.png")" = 4096x4096 ] ||
        fail "no whole map after No"
    expect_empty stderr
}

# The desktop entry's Exec line, the program in place of its first word.
DESKTOP_ENTRY=${DESKTOP_ENTRY:-$(dirname "$0")/../../packaging/mapper.desktop}
start_from_menu() {
    local words
    read -ra words < <(sed -n 's/^Exec=//p' "$DESKTOP_ENTRY")
    [ "${#words[@]}" -gt 0 ] || fail "no Exec line in $DESKTOP_ENTRY"
    start_mapper "${words[@]:1}" "$@"
}

# The end-of-run window's buttons: top-left corners of their frames.
readonly OPEN_BUTTON="50 134" CLOSE_BUTTON="180 134" ONLY_CLOSE_BUTTON="115 134"

wait_for_pixels_black() {
    local p
    for _ in $(seq $((WINDOW_WAIT * 10))); do
        kill -0 "$app_pid" 2>/dev/null || fail "the program ended: $1"
        for p in "${@:2}"; do
            # shellcheck disable=SC2086 # x and y
            [ "$(pixel $p)" = "#000000" ] || { sleep 0.1; continue 2; }
        done
        return 0
    done
    fail "$1"
}

# Started as the menu starts it, with a home whose XDG settings name the
# pictures folder and no xdg-user-dir on PATH: the maps and the web map
# land there under Mapper/World1, created on the way, and not in the
# folder it was started in; the window stays with the summary; Open folder runs xdg-open (a stand-in) on that folder and stays;
# Close ends with 0.
case_menu_entry_maps_into_pictures() {
    local pictures=$work/home/Bilder folder
    folder=$pictures/Mapper/World1
    mkdir -p "$work/home/.config" || fail "cannot make the settings folder"
    # shellcheck disable=SC2016 # the file says $HOME itself
    echo 'XDG_PICTURES_DIR="$HOME/Bilder"' >"$work/home/.config/user-dirs.dirs"
    printf '#!/bin/sh\necho "$@" >>"%s"\n' "$work/opened" >"$work/bin/xdg-open"
    chmod +x "$work/bin/xdg-open"
    start_dialog_from_menu
    keys Return
    wait_for_pixels_black "no summary with two buttons" "$OPEN_BUTTON" "$CLOSE_BUTTON"
    # The menu's run makes the web map too.
    [ "$(ls -A "$folder" | tr '\n' ' ')" = "map.html map_web map_zoom_0.png " ] ||
        fail "$folder holds: $(ls -A "$folder" 2>&1)"
    expect_no_maps
    keys o
    for _ in $(seq 50); do [ -s "$work/opened" ] && break; sleep 0.1; done
    [ "$(cat "$work/opened" 2>/dev/null)" = "$folder" ] ||
        fail "xdg-open was given '$(cat "$work/opened" 2>/dev/null)', not $folder"
    sleep "$STAYS_WAIT"
    kill -0 "$app_pid" 2>/dev/null || fail "Open folder ended the program"
    keys c
    wait_for_exit
    expect_rc 0
    expect_empty stderr
}

start_dialog_from_menu() {
    make_worlds
    start_xvfb
    start_from_menu
    wait_for_dialog
}

# An error started from the menu stays in the window, with the lines that
# standard error has, until Close (here the window's close button); then
# exit code 1.
case_menu_error_in_window() {
    make_worlds
    remove_change_list
    start_xvfb
    start_from_menu
    wait_for_dialog
    keys Return
    wait_for_pixels_black "no error window with its Close button" "$ONLY_CLOSE_BUTTON"
    [ "$(cat "$work/stderr")" = "Error opening changed.txt!
$work/data/Orvandelquist/World1/changed.txt: No such file or directory" ] ||
        fail "standard error does not hold the message, the path and the reason"
    sleep "$STAYS_WAIT"
    kill -0 "$app_pid" 2>/dev/null || fail "the error window did not stay"
    close_window
    wait_for_exit
    expect_rc 1
    # The folders made for the maps went again.
    [ -z "$(ls -A "$work/home")" ] ||
        fail "left in the home folder: $(cd "$work/home" && find . -mindepth 1)"
}

# Ends the X server at once, as a crash or a closed session does.
kill_xvfb() {
    kill -KILL "$xvfb_pid" && wait "$xvfb_pid" 2>/dev/null
    xvfb_pid=
}

# The display gone ($1 says when) ends the run with one message naming
# the display and exit code 1; the older map stays, and nothing
# unfinished does.
expect_display_lost() {
    local gone=$display
    wait_for_exit
    display=
    [ "$(cat "$work/stderr")" = "Error using the display :$gone
its X server closed the connection (the server or the session ended, or the window was killed)" ] ||
        fail "$1: standard error is not the one message naming :$gone"
    expect_rc 1
}

# The X server killed while the dialog waits, while the tiles are placed,
# while the map is written and while the menu run's summary waits; and
# xkill on the dialog's window.
case_display_gone() {
    local older=$work/older.png
    make_big_world "$SLOW_GRID"
    convert -size 8x8 xc:red "$older" || fail "cannot make the older map"
    start_xvfb
    start_mapper
    wait_for_dialog
    x xkill -id "$wid" >/dev/null
    expect_display_lost "xkill in the dialog"
    expect_no_maps
    stop_xvfb

    start_xvfb
    start_mapper
    wait_for_dialog
    kill_xvfb
    expect_display_lost "the server killed in the dialog"
    expect_no_maps

    start_xvfb
    start_slow_run "$older"
    for _ in $(seq $((EXIT_WAIT * 50))); do
        grep -q '^Blitting ' "$work/stdout" 2>/dev/null && break
        sleep 0.02
    done
    kill_xvfb
    expect_display_lost "the server killed while tiles are placed"
    expect_older_map_only "$older" "the display gone while tiles are placed"

    start_xvfb
    start_slow_run "$older"
    wait_for_save_in_progress
    kill_xvfb
    expect_display_lost "the server killed while the map is written"
    expect_older_map_only "$older" "the display gone while the map is written"
    rm "$work/maps/map_zoom_0.png"

    make_worlds
    start_xvfb
    start_from_menu --output "$work/maps"
    wait_for_dialog
    keys Return
    wait_for_pixels_black "no summary" "$OPEN_BUTTON" "$CLOSE_BUTTON"
    kill_xvfb
    expect_display_lost "the server killed while the summary waits"
    [ -f "$work/maps/map_zoom_0.png" ] || fail "the summary's run lost its map"
}

# Processor time (user and system, every thread) of the program, in clock
# ticks.
cpu_ticks() {
    awk '{ print $14 + $15 }' "/proc/$app_pid/stat"
}

# Share of one core, in percent, that the program uses over IDLE_SECONDS
# while nothing happens; prints it and fails above IDLE_LIMIT.
measure_idle() {
    local what=$1 before after percent
    before=$(cpu_ticks) || fail "cannot read the program's processor time"
    sleep "$IDLE_SECONDS"
    after=$(cpu_ticks) || fail "cannot read the program's processor time"
    percent=$(awk -v t=$((after - before)) -v hz="$(getconf CLK_TCK)" \
        -v s="$IDLE_SECONDS" 'BEGIN { printf "%.1f", 100 * t / hz / s }')
    echo "$what: $percent% of a core over ${IDLE_SECONDS}s"
    awk -v p="$percent" -v l="$IDLE_LIMIT" 'BEGIN { exit !(p < l) }' ||
        fail "$what uses $percent% of a core (limit $IDLE_LIMIT%)"
}

# The waiting dialog and the quit alert sleep while nothing happens.
case_idle_dialog_and_alert_cpu() {
    start_dialog
    sleep 0.5
    measure_idle "idle dialog"
    keys q
    wait_for_alert
    measure_idle "idle quit alert"
    keys y
    expect_quit
}

# --watch from the dialog: the window says what it watches and sleeps
# while nothing changes; Stop by its key, and the close button, save the
# maps holding the tile placed meanwhile, and end with 0.
case_watch_window_stop_saves() {
    local way list
    make_worlds
    start_xvfb
    list=$work/data/Orvandelquist/World1/changed.txt
    for way in key close; do
        rm -rf "$work/maps"/*
        start_mapper --watch --save-after 3600
        wait_for_dialog
        keys Return
        for _ in $(seq $((WINDOW_WAIT * 10))); do
            grep -q '^Watching World1' "$work/stdout" && break
            sleep 0.1
        done
        grep -q '^Watching World1' "$work/stdout" || fail "no watch within ${WINDOW_WAIT}s"
        measure_idle "idle watch"
        tail -1 "$list" >>"$list"
        for _ in $(seq $((WINDOW_WAIT * 10))); do
            grep -q '^Placed 1 tile' "$work/stdout" && break
            sleep 0.1
        done
        [ "$(pixel 2 2)" = "#FFFFFF" ] || fail "the watch window was not drawn"
        if [ "$way" = key ]; then keys s; else close_window; fi
        wait_for_exit
        expect_rc 0
        sed -n '/^Placed 1 tile/,$p' "$work/stdout" | grep -q 'map_zoom_0.png saved' ||
            fail "Stop by $way did not save the map: $(tail -3 "$work/stdout")"
    done
}

"case_$case_name"
echo "PASS $case_name"
