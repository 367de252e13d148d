#!/bin/bash
# The Windows program under Wine, beside the Linux build: the DLLs it
# imports, the command line, the maps of the PNG, JPEG and GIF sample
# worlds byte for byte through --world and through the dialog, the
# message box of a world without changed.txt, and worlds read from a
# user folder whose name is not Latin; the unit tests built for Windows.
# With INSTALLER, also its silent install, its Start-menu entry's menu
# launch and its silent uninstall.
#   wine_test.sh MAPPER_EXE LINUX_MAPPER MAKE_WORLD [INSTALLER]
# The unit tests are those that MAPPER_EXE's folder lists in unit_tests.txt.
set -u
EXE=$1 LINUX_MAPPER=$2 MAKE_WORLD=$3 INSTALLER=${4:-}
WINE=/usr/lib/wine/wine64
WINESERVER=/usr/lib/wine/wineserver
TIMEOUT=120
failures=0 passes=0

WORK=$(mktemp -d "${TMPDIR:-/tmp}/mapper-wine.XXXXXX")
# The prefix links the user's shell folders (Pictures) into HOME.
mkdir "$WORK/home"
export HOME=$WORK/home
export WINEPREFIX=$WORK/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$WORK/display" 2>/dev/null &
XVFB=$!
finish()
{
    WINEPREFIX=$WORK/prefix "$WINESERVER" -k 2>/dev/null
    kill "$XVFB" 2>/dev/null
    rm -rf "$WORK"
}
trap finish EXIT
for _ in $(seq 50); do [ -s "$WORK/display" ] && break; sleep 0.1; done
export DISPLAY=:$(cat "$WORK/display")

check()
{
    if [ "$2" = "$3" ]; then
        passes=$((passes + 1))
    else
        echo "FAIL $1: expected '$3', got '$2'"
        failures=$((failures + 1))
    fi
}

# The Windows path of a Linux one, through Wine's Z: drive.
windows_path() { echo "Z:$1" | tr / '\\'; }

run_exe() { timeout "$TIMEOUT" "$WINE" "$EXE" "$@"; }

# Only Windows' own DLLs: nothing to ship beside the program.
SYSTEM_DLLS="ADVAPI32.dll bcrypt.dll DDRAW.dll DSOUND.dll GDI32.dll KERNEL32.dll
msvcrt.dll ole32.dll SHELL32.dll USER32.dll WINMM.dll"
for dll in $(x86_64-w64-mingw32-objdump -p "$EXE" | sed -n 's/^\s*DLL Name: //p'); do
    case " $(echo $SYSTEM_DLLS) " in
    *" $dll "*) check "system DLL $dll" ok ok ;;
    *) check "system DLL $dll" "not a system DLL" ok ;;
    esac
done

"$WINE" wineboot -i >/dev/null 2>&1
APPDATA_DIR=$WINEPREFIX/drive_c/users/${USER:-$(id -un)}/AppData/Roaming
[ -d "$APPDATA_DIR" ] || APPDATA_DIR=$(echo "$WINEPREFIX"/drive_c/users/*/AppData/Roaming | cut -d' ' -f1)

# The cases that make their files with ImageMagick's convert, a Linux
# program that the Windows side cannot start.
UNIT_SKIP="GifFastPathTest.PeerFilesGiveTheSameImagesAndBitmaps
GifFastPathTest.DamagedFilesGiveTheSameResults
GifReaderTest.ImageMagickFilesReadAsGiflibReadsThem
GifReaderTest.RootsUpToElevenBitsWideAreRead
GifWriterPeerTest.ImageMagickSeesTheColoursOfTheIndicesWritten"

# Each unit-test program: every case passes (a crash ends it at once,
# without Wine's debugger), and the counts are printed.
run_unit_tests()
{
    local list exe code out
    list=$(dirname "$EXE")/unit_tests.txt
    check "unit tests listed" "$([ -s "$list" ] && echo yes)" yes
    while read -r exe; do
        (cd / && WINEDLLOVERRIDES="$WINEDLLOVERRIDES;winedbg.exe=d" \
            timeout 600 "$WINE" "$exe" --gtest_filter="-$(echo $UNIT_SKIP | tr ' ' :)" \
            >"$WORK/unit.log" 2>&1 </dev/null)
        code=$?
        out=$(tr -d '\r' <"$WORK/unit.log")
        check "unit tests $(basename "$exe") exit" $code 0
        echo "$out" | grep -E '^\[  (PASSED|FAILED) |^\[  SKIPPED \]|tests? ran' |
            sed "s/^/$(basename "$exe"): /"
        echo "$out" | grep -A3 'Failure$' | head -n 40
    done <"$list"
}
run_unit_tests

check "--version" "$(run_exe --version | tr -d '\r')" "$("$LINUX_MAPPER" --version)"
out=$(run_exe --web 2>&1 >/dev/null | tr -d '\r'); code=$?
check "--web refused" "$(run_exe --web >/dev/null 2>&1; echo $?): $out" \
    "2: mapper: --web: the web map is not in this build"

for world in 1 2 3; do
    ext=$(echo png jpg gif | cut -d' ' -f$world)
    "$MAKE_WORLD" --world $world --ext $ext --crlf "$APPDATA_DIR" >/dev/null
    mkdir -p "$WORK/linux$world" "$WORK/windows$world"
    XDG_DATA_HOME=$APPDATA_DIR "$LINUX_MAPPER" --world $world --quiet \
        --output "$WORK/linux$world"
    run_exe --world $world --quiet --output "$(windows_path "$WORK/windows$world")"
    check "--world $world exit" $? 0
    check "--world $world maps" "$(diff -r "$WORK/linux$world" "$WORK/windows$world" && echo same)" same
done

# The dialog: World1 by Return with the pointer over the list.
dialog_run()
{
    local out=$1 exit_file=$2
    mkdir -p "$out"
    (run_exe --output "$(windows_path "$out")" >"$out.log" 2>&1; echo $? >"$exit_file") &
}
find_window()
{
    for _ in $(seq 300); do
        w=$(xdotool search --name "^$1\$" 2>/dev/null | head -n 1)
        [ -n "$w" ] && xwininfo -id "$w" 2>/dev/null | grep -q IsViewable && { echo "$w"; return; }
        sleep 0.1
    done
}
wait_exit()
{
    for _ in $(seq 600); do [ -s "$1" ] && { cat "$1"; return; }; sleep 0.1; done
    echo "still running"
}
LIST_X=120 LIST_Y=60
# World1's row: the list's rows are 8 pixels high from y 52.
WORLD1_Y=56

# The dialog: World1 by a double-click of quick clicks: xdotool's press
# and release come within a millisecond, and Wine queues both before the
# library reads its mouse, yet each press must be seen.
test_double_click()
{
    dialog_run "$WORK/dialog-click" "$WORK/dialog-click.exit"
    local w x y code
    w=$(find_window mapper)
    eval "$(xdotool getwindowgeometry --shell "$w" | grep '^[XY]=' | tr XY xy)"
    # The library puts the pointer in the middle of its window once it has
    # shown it: moved again until it stays on World1's row.
    for _ in $(seq 20); do
        xdotool mousemove --window "$w" $LIST_X $WORLD1_Y sleep 0.5
        [ "$(xdotool getmouselocation --shell | grep '^[XY]=' | tr '\n' ' ')" = \
            "X=$((x + LIST_X)) Y=$((y + WORLD1_Y)) " ] && break
    done
    # The library tells a double-click by sampling the button every 20 ms:
    # on a loaded machine one can be missed, and is tried again, as a user
    # would. Without each press seen, none ever succeeds.
    for _ in 1 2 3; do
        xdotool click --repeat 2 --delay 150 1
        for _ in $(seq 30); do [ -s "$WORK/dialog-click.exit" ] && break 2; sleep 0.1; done
    done
    code=$(wait_exit "$WORK/dialog-click.exit")
    check "dialog by double-click exit" "$code" 0
    # A dialog that missed the clicks, or the message box of another world,
    # is closed, so that the next finds none.
    if [ "$code" = "still running" ]; then
        xdotool key Escape sleep 3 key Return
        wait_exit "$WORK/dialog-click.exit" >/dev/null
    fi
    check "dialog by double-click maps" \
        "$(diff -r "$WORK/linux1" "$WORK/dialog-click" && echo same)" same
}
dialog_run "$WORK/dialog-key" "$WORK/dialog-key.exit"
w=$(find_window mapper)
xdotool mousemove --window "$w" $LIST_X $LIST_Y key Return
check "dialog by key exit" "$(wait_exit "$WORK/dialog-key.exit")" 0
check "dialog by key maps" "$(diff -r "$WORK/linux1" "$WORK/dialog-key" && echo same)" same

test_double_click

# The console window that Windows opens for the program started from the
# Start menu (under Wine, conhost's) is gone while its dialog is up.
check_no_console()
{
    local console=""
    for _ in $(seq 50); do
        console=$(xdotool search --onlyvisible --class conhost 2>/dev/null | head -n 1)
        [ -z "$console" ] && break
        sleep 0.1
    done
    check "menu launch without a console window" "${console:-none}" none
}

# A world without changed.txt: the message box, closed with Return.
mv "$APPDATA_DIR/Orvandelquist/World1/changed.txt" "$WORK/changed.txt"
dialog_run "$WORK/dialog-missing" "$WORK/dialog-missing.exit"
w=$(find_window mapper)
xdotool mousemove --window "$w" $LIST_X $LIST_Y key Return
for _ in $(seq 100); do
    box=$(xdotool search --name '^mapper$' 2>/dev/null | grep -v "^$w\$" | head -n 1)
    [ -n "$box" ] && break; sleep 0.1
done
check "message box shown" "$([ -n "$box" ] && echo yes)" yes
# Without a window manager the box gets the keys once it has the focus;
# it may not take it while it is still being shown: tried again then.
for _ in 1 2 3 4 5; do
    xdotool windowfocus "$box" 2>/dev/null
    sleep 0.3
    xdotool key Return
    for _ in $(seq 20); do [ -s "$WORK/dialog-missing.exit" ] && break 2; sleep 0.1; done
done
check "message box exit" "$(wait_exit "$WORK/dialog-missing.exit")" 1

# A run from the menu that fails (World1 without changed.txt) shows the
# error in its window and, once closed, leaves no maps' folder behind.
menu_error_leaves_no_folder()
{
    local w made=""
    (run_exe --menu >"$WORK/menu-error.log" 2>&1; echo $? >"$WORK/menu-error.exit") &
    w=$(find_window mapper)
    xdotool mousemove --window "$w" $LIST_X $LIST_Y key Return
    for _ in $(seq 100); do
        made=$(find "$WINEPREFIX/drive_c/users" "$HOME" -path '*/Mapper/World1' 2>/dev/null)
        [ -n "$made" ] && break
        sleep 0.1
    done
    check "menu error made the folder" "$([ -n "$made" ] && echo yes)" yes
    for _ in $(seq 20); do
        xdotool mousemove --window "$w" $LIST_X $LIST_Y key c
        for _ in $(seq 5); do [ -s "$WORK/menu-error.exit" ] && break 2; sleep 0.1; done
    done
    check "menu error exit" "$(wait_exit "$WORK/menu-error.exit")" 1
    check "menu error leaves no folder" \
        "$(find "$WINEPREFIX/drive_c/users" "$HOME" -name Mapper 2>/dev/null)" ""
}
menu_error_leaves_no_folder
mv "$WORK/changed.txt" "$APPDATA_DIR/Orvandelquist/World1/changed.txt"

# A user folder named in letters outside Latin-1 and the ANSI code page.
OTHER='C:\users\Łucja Ñandú Ωμέγα\AppData\Roaming'
OTHER_DIR="$WINEPREFIX/drive_c/users/Łucja Ñandú Ωμέγα/AppData/Roaming"
mkdir -p "$OTHER_DIR"
cp -r "$APPDATA_DIR/Orvandelquist" "$OTHER_DIR/"
"$WINE" reg add 'HKCU\Software\Microsoft\Windows\CurrentVersion\Explorer\User Shell Folders' \
    /v AppData /t REG_EXPAND_SZ /d "$OTHER" /f >/dev/null 2>&1
"$WINESERVER" -w
rm -rf "$APPDATA_DIR/Orvandelquist"
mkdir -p "$WORK/unicode"
run_exe --world 2 --quiet --output "$(windows_path "$WORK/unicode")"
check "non-Latin user exit" $? 0
check "non-Latin user maps" "$(diff -r "$WORK/linux2" "$WORK/unicode" && echo same)" same

# Ctrl+C while a map is saved: the older map stays, no private folder.
"$MAKE_WORLD" --world 4 --ext png --grid 16x16 --tile 256 --textured \
    "$OTHER_DIR" >/dev/null
mkdir -p "$WORK/stopped"
echo older >"$WORK/stopped/map_zoom_0.png"
# Wine turns SIGINT into the console's Ctrl+C event.
"$WINE" "$EXE" --world 4 --output "$(windows_path "$WORK/stopped")" \
    >"$WORK/stopped.log" 2>&1 &
stopped=$!
for _ in $(seq 1200); do grep -q Saving "$WORK/stopped.log" && break; sleep 0.1; done
kill -INT "$stopped"
wait "$stopped"
check "Ctrl+C exit" $? 130
check "Ctrl+C keeps the older map" "$(cat "$WORK/stopped/map_zoom_0.png")" older
check "Ctrl+C leaves no folder" "$(ls -A "$WORK/stopped")" map_zoom_0.png

# A run killed during a save (as TerminateProcess kills it: no clean-up)
# leaves its private folder and the older map. A run that starts while
# another saves in the same folder leaves that one's folder alone, and
# removes the killed run's: both end well, and the older map stays.
killed_run_is_swept()
{
    local out=$WORK/killed killed busy
    mkdir -p "$out"
    echo older >"$out/map_zoom_0.png"
    "$WINE" "$EXE" --world 4 --output "$(windows_path "$out")" >"$WORK/killed.log" 2>&1 &
    killed=$!
    for _ in $(seq 1200); do grep -qs Saving "$WORK/killed.log" && break; sleep 0.1; done
    kill -KILL "$killed"
    { wait "$killed"; } 2>/dev/null
    check "killed run leaves its folder" "$(ls -A "$out" | grep -c '^map_zoom_0\.part-')" 1
    check "killed run keeps the older map" "$(cat "$out/map_zoom_0.png")" older
    "$WINE" "$EXE" --world 4 --output "$(windows_path "$out")" >"$WORK/busy.log" 2>&1 &
    busy=$!
    for _ in $(seq 1200); do grep -qs Saving "$WORK/busy.log" && break; sleep 0.1; done
    run_exe --world 2 --quiet --output "$(windows_path "$out")"
    check "run beside a save exit" $? 0
    wait "$busy"
    check "run swept into exit" $? 0
    check "no folder left" "$(ls -A "$out" | grep -c '\.part-')" 0
    check "maps beside the swept folder" \
        "$(cd "$WORK/linux2" && for f in *; do cmp -s "$f" "$out/$f" && echo "$f"; done | wc -l)" \
        "$(ls "$WORK/linux2" | wc -l)"
}
killed_run_is_swept

# The installer: silent, per user; its Start-menu entry starts the menu
# launch, whose maps go to the Pictures folder; the uninstaller leaves
# nothing.
if [ -n "$INSTALLER" ]; then
    PROGRAMS=$(dirname "$APPDATA_DIR")/Local/Programs
    MENU="$APPDATA_DIR/Microsoft/Windows/Start Menu/Programs"
    UNINSTALL_KEY='HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\Mapper'
    timeout "$TIMEOUT" "$WINE" "$INSTALLER" /S
    "$WINESERVER" -w
    check "installed files" "$(ls "$PROGRAMS/Mapper" | tr '\n' ' ')" \
        "LICENSE.txt README.txt Uninstall.exe mapper.exe "
    check "Start-menu entry" "$(ls "$MENU" | grep -c '^Mapper.lnk$')" 1
    lnk='C:\users\'"$(basename "$(dirname "$(dirname "$APPDATA_DIR")")")"'\AppData\Roaming\Microsoft\Windows\Start Menu\Programs\Mapper.lnk'
    (timeout "$TIMEOUT" "$WINE" start /wait "$lnk" >/dev/null 2>&1; echo $? >"$WORK/menu.exit") &
    w=$(find_window mapper)
    check_no_console
    xdotool mousemove --window "$w" $LIST_X $LIST_Y key Return
    maps=""
    for _ in $(seq 600); do
        maps=$(find "$WINEPREFIX/drive_c/users" "$HOME" -path '*Mapper/World1/map_zoom_2.png' 2>/dev/null | head -n 1)
        [ -n "$maps" ] && break
        sleep 0.1
    done
    sleep 1
    xdotool mousemove --window "$w" 100 50 key c
    check "menu launch exit" "$(wait_exit "$WORK/menu.exit")" 0
    check "menu launch maps" "$([ -n "$maps" ] && diff -r "$WORK/linux1" "$(dirname "$maps")" && echo same)" same
    # Every program of the prefix has ended before the uninstall.
    timeout "$TIMEOUT" "$WINESERVER" -w
    check "programs ended after the menu launch" $? 0
    timeout "$TIMEOUT" "$WINE" "$PROGRAMS/Mapper/Uninstall.exe" /S
    sleep 2
    "$WINESERVER" -w
    check "uninstalled files" "$(ls -A "$PROGRAMS" | grep -c '^Mapper$')" 0
    check "uninstalled entry" "$(ls -A "$MENU" | grep -c Mapper)" 0
    check "uninstalled key" "$("$WINE" reg query "$UNINSTALL_KEY" >/dev/null 2>&1; echo $?)" 1
fi

echo "wine: $passes passed, $failures failed"
[ $failures -eq 0 ]
