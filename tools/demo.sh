#!/usr/bin/env bash
# The demo: the setup program Pelorin-Setup-0.5.0.exe as a person uses it.
# It builds everything, serves the demo release from the local HTTPS release
# server, and runs the real program under Wine in a throwaway prefix, driving
# its window with real X mouse clicks (xdotool): the install with its
# progress, "Открыть Pelorin" (the stand-in application opens and the window
# closes), the uninstall started the way Windows Settings starts it (the
# command in the Uninstall entry's UninstallString) with its hand-over to the
# relocated copy, then a failed install (release server stopped) and a
# cancelled one. Every screen is saved as a PNG, with one contact sheet of
# them all; the script prints where they are.
#
# Usage: tools/demo.sh [--display]
#   --display   show the windows on your own X display ($DISPLAY) instead of
#               a private Xvfb screen
set -euo pipefail

use_own_display=no
for argument in "$@"; do
    case "$argument" in
        --display) use_own_display=yes ;;
        -h|--help) sed -n '2,16p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
        *) echo "usage: tools/demo.sh [--display]" >&2; exit 2 ;;
    esac
done
if [ "$use_own_display" = yes ]; then
    [ -n "${DISPLAY:-}" ] || { echo "error: --display needs an X display in \$DISPLAY" >&2; exit 2; }
else
    unset DISPLAY
fi
# Captions and texts pass through the command line as UTF-8.
export LC_ALL=C.UTF-8

source "$(dirname "${BASH_SOURCE[0]}")/harness.sh"

archive=$PELORIN_BUILD/releases/product/Pelorin-Windows-0.5.0-win-x64.zip
harness_start "$archive"
port=$(cat "$PELORIN_BUILD/release-server-port.txt")
setup_exe=$PELORIN_BUILD/Pelorin-Setup-0.5.0.exe
probe_exe=$PELORIN_BUILD/tools/demo/pelorin_window_probe.exe
shots=$PELORIN_BUILD/demo-screenshots
rm -rf "$shots"
mkdir -p "$shots"

SETUP_CLASS=Pelorin.Setup.Window
APP_CLASS=Pelorin.Standin.Window
INSTALL_CAPTION="Установка Pelorin"
UNINSTALL_CAPTION="Удаление Pelorin"
PRIMARY=200

probe() { wine "$probe_exe" "$@" </dev/null 2>/dev/null | tr -d '\r'; }

# where CLASS CAPTION: sets left top right bottom cx cy (screen pixels).
where() {
    local answer
    answer=$(probe where "$1" "$2") || die "no window \"$2\" appeared"
    read -r left top right bottom cx cy <<<"$answer"
}

# wait_text CLASS CAPTION ID TEXT [MS]: until control ID ("any": any control) reads TEXT.
wait_text() {
    probe wait "$1" "$2" "$3" "$4" "${5:-300000}" >/dev/null \
        || die "the window \"$2\" never showed \"$4\""
}

# click CLASS CAPTION X Y: a mouse click at client coordinates (design units
# at 96 DPI are pixels) of the window.
click() {
    where "$1" "$2"
    xdotool mousemove --sync $((cx + $3)) $((cy + $4)) click 1
}

# The primary button sits at (424, 430) 184 x 40, the close button at
# (292, 430) 120 x 40, or at the primary button's place while an operation runs.
click_primary() { click "$SETUP_CLASS" "$1" 516 450; }
click_close() { click "$SETUP_CLASS" "$1" 352 450; }
click_cancel() { click "$SETUP_CLASS" "$1" 548 450; }

# shot NAME CLASS CAPTION: saves the window, frame included.
shot() {
    where "$2" "$3"
    sleep 0.3  # the last repaint
    import -window root -crop "$((right - left))x$((bottom - top))+$left+$top" +repage "$shots/$1.png"
    echo "   screenshot $1.png"
}

start_setup() {  # start_setup [ARGUMENTS...]: the program in the background
    wine "$@" </dev/null >/dev/null 2>&1 &
    setup_pid=$!
}

finish() {  # finish WHAT: the program started last ends with exit code 0
    local code=0
    wait "$setup_pid" || code=$?
    [ "$code" -eq 0 ] || die "$1 ended with exit code $code"
}

note "1. install: the Ready screen, the install with its progress, Completed"
start_setup "$setup_exe"
wait_text "$SETUP_CLASS" "$INSTALL_CAPTION" $PRIMARY "Установить Pelorin" 60000
shot 01-install-ready "$SETUP_CLASS" "$INSTALL_CAPTION"
click_primary "$INSTALL_CAPTION"
sleep 0.4
shot 02-install-running "$SETUP_CLASS" "$INSTALL_CAPTION"
wait_text "$SETUP_CLASS" "$INSTALL_CAPTION" any "Pelorin готов к запуску"
shot 03-install-completed "$SETUP_CLASS" "$INSTALL_CAPTION"

note "2. \"Открыть Pelorin\": the files are verified, the application opens, the window closes"
click_primary "$INSTALL_CAPTION"
probe gone "$SETUP_CLASS" "$INSTALL_CAPTION" 120000 >/dev/null || die "the installer window did not close"
finish "the installer"
where "$APP_CLASS" Pelorin
shot 04-application-opened "$APP_CLASS" Pelorin
# Closed by its close box, at the right end of the caption Wine draws.
caption_height=$((cy - top - (cx - left)))
xdotool mousemove --sync $((right - (cx - left) - caption_height / 2 - 2)) $((top + (cx - left) + caption_height / 2)) click 1
probe gone "$APP_CLASS" Pelorin 30000 >/dev/null || die "the application did not close"

note "3. uninstall, started as Windows Settings starts it"
uninstall_command=$(wine reg query 'HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\Pelorin' \
                        /v UninstallString </dev/null 2>/dev/null | tr -d '\r' | sed -n 's/^.*REG_SZ[[:space:]]*//p')
[ -n "$uninstall_command" ] || die "no UninstallString in the Uninstall entry"
echo "   UninstallString: $uninstall_command"
uninstaller=$(sed -n 's/^"\([^"]*\)".*$/\1/p' <<<"$uninstall_command")
uninstall_arguments=$(sed -n 's/^"[^"]*"[[:space:]]*//p' <<<"$uninstall_command")
[ -n "$uninstaller" ] || die "the UninstallString names no quoted program"
# shellcheck disable=SC2086  # the arguments are words of the command line
start_setup "$uninstaller" $uninstall_arguments
finish "the installed uninstaller (it hands over to its relocated copy)"
echo "   the installed uninstaller ended with exit code 0 after starting its relocated copy"
wait_text "$SETUP_CLASS" "$UNINSTALL_CAPTION" $PRIMARY "Удалить приложение" 60000
shot 05-uninstall-ready "$SETUP_CLASS" "$UNINSTALL_CAPTION"
click_primary "$UNINSTALL_CAPTION"
wait_text "$SETUP_CLASS" "$UNINSTALL_CAPTION" any "Pelorin удалён"
shot 06-uninstall-completed "$SETUP_CLASS" "$UNINSTALL_CAPTION"
click_primary "$UNINSTALL_CAPTION"
probe gone "$SETUP_CLASS" "$UNINSTALL_CAPTION" 30000 >/dev/null || die "the uninstall window did not close"

note "4. a failed install: the release server is stopped"
server_stop
start_setup "$setup_exe"
wait_text "$SETUP_CLASS" "$INSTALL_CAPTION" $PRIMARY "Установить Pelorin" 60000
click_primary "$INSTALL_CAPTION"
wait_text "$SETUP_CLASS" "$INSTALL_CAPTION" any "Не удалось завершить установку" 120000
shot 07-install-failed "$SETUP_CLASS" "$INSTALL_CAPTION"
click_close "$INSTALL_CAPTION"
finish "the installer"

note "5. a cancelled install: \"Отменить\" while it downloads"
server_start "$archive" "" "$port"
start_setup "$setup_exe"
wait_text "$SETUP_CLASS" "$INSTALL_CAPTION" $PRIMARY "Установить Pelorin" 60000
click_primary "$INSTALL_CAPTION"
wait_text "$SETUP_CLASS" "$INSTALL_CAPTION" 201 "Отменить" 60000
click_cancel "$INSTALL_CAPTION"
wait_text "$SETUP_CLASS" "$INSTALL_CAPTION" any "Установка отменена" 120000
shot 08-install-cancelled "$SETUP_CLASS" "$INSTALL_CAPTION"
click_close "$INSTALL_CAPTION"
finish "the installer"

montage -font DejaVu-Sans -pointsize 14 -label '%t' "$shots"/0*.png -tile 3x -geometry '+12+12' -background '#d9dee5' "$shots/contact-sheet.png"
note "screenshots of every screen and the contact sheet are in $shots"
ls -1 "$shots"
