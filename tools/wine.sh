# Wine helpers for the test harness and the demo; sourced, not run.
# shellcheck shell=bash
#
# Every run works in a throwaway prefix copied from a cached, initialised
# template, so nothing ever touches a developer's own Wine profile.

# Bump when the template recipe changes; an older template is rebuilt.
PELORIN_WINE_TEMPLATE_VERSION=1
PELORIN_WINE_TEMPLATE=$PELORIN_CACHE/wine-template

export WINEDEBUG=${WINEDEBUG:--all}
# No Mono or Gecko installers, no prompts.
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEARCH=win64

# Name of the marker file that tells the test programs they run in a profile
# made for them. It lives in the profile folder of the throwaway prefix.
PELORIN_TEST_MARKER_NAME=pelorin-test-profile.marker

wine_user_dir() { # prefix
    local d
    for d in "$1"/drive_c/users/*; do
        [ "$(basename "$d")" = Public ] && continue
        [ -d "$d" ] && { echo "$d"; return; }
    done
}

wine_build_template() {
    local stamp=$PELORIN_WINE_TEMPLATE/.pelorin-template-version
    if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$PELORIN_WINE_TEMPLATE_VERSION" ]; then
        return 0
    fi
    note "initialising the Wine template prefix (once per machine)"
    mkdir -p "$PELORIN_CACHE"
    local tmp
    tmp=$(mktemp -d "$PELORIN_CACHE/wine-template.new.XXXXXX")
    (
        export WINEPREFIX=$tmp
        wineboot -i >/dev/null 2>&1 || true
        wine reg add 'HKCU\Software\Wine' /v Version /d win10 /f >/dev/null 2>&1
        wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1
        wineserver -w
    ) || { rm -rf "$tmp"; die "Wine prefix initialisation failed"; }
    [ -f "$tmp/system.reg" ] || { rm -rf "$tmp"; die "Wine did not create a prefix"; }
    # Wine links the profile's Desktop, Documents, ... to the Unix home folder;
    # replace those links with real folders so tests stay inside the prefix.
    local user_dir link
    user_dir=$(wine_user_dir "$tmp")
    [ -n "$user_dir" ] || { rm -rf "$tmp"; die "the Wine prefix has no user profile"; }
    for link in "$user_dir"/*; do
        if [ -L "$link" ]; then rm -f "$link"; mkdir -p "$link"; fi
    done
    mkdir -p "$user_dir/AppData/Local/Temp"
    echo "$PELORIN_WINE_TEMPLATE_VERSION" > "$tmp/.pelorin-template-version"
    rm -rf "$PELORIN_WINE_TEMPLATE"
    mv "$tmp" "$PELORIN_WINE_TEMPLATE"
}

# Creates a throwaway prefix, exports WINEPREFIX and writes the test marker.
wine_throwaway_prefix() {
    wine_build_template
    WINEPREFIX=$(mktemp -d "${TMPDIR:-/tmp}/pelorin-prefix.XXXXXX")
    export WINEPREFIX
    cp -a "$PELORIN_WINE_TEMPLATE/." "$WINEPREFIX/"
    local user_dir
    user_dir=$(wine_user_dir "$WINEPREFIX")
    echo "throwaway profile for the Pelorin Setup tests" > "$user_dir/$PELORIN_TEST_MARKER_NAME"
}

# Starts Xvfb when there is no display; sets PELORIN_XVFB_PID.
wine_start_display() {
    PELORIN_XVFB_PID=
    if [ -n "${DISPLAY:-}" ]; then return 0; fi
    local n
    for n in $(seq 91 120); do
        [ -e "/tmp/.X$n-lock" ] && continue
        Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
        PELORIN_XVFB_PID=$!
        local i
        for i in $(seq 1 50); do
            [ -e "/tmp/.X11-unix/X$n" ] && break
            kill -0 "$PELORIN_XVFB_PID" 2>/dev/null || break
            sleep 0.1
        done
        if kill -0 "$PELORIN_XVFB_PID" 2>/dev/null; then
            export DISPLAY=":$n"
            return 0
        fi
    done
    die "could not start Xvfb"
}

# Starts one persistent wineserver and Wine's own background processes for the
# prefix, with their output detached: a test runner that waits for the end of
# a test's output would otherwise wait for them too.
wine_start_services() {
    wineserver -p
    wine cmd.exe /c exit </dev/null >/dev/null 2>&1 || die "Wine cannot start programs in $WINEPREFIX"
}

# Desktop settings of test and demo prefixes (never of the product):
# - "Segoe UI", the face the setup window asks for, is not in a Wine prefix;
#   it is mapped to DejaVu Sans, a Debian font with Cyrillic glyphs, through
#   Wine's font replacements.
# - Without a window manager (Xvfb) Wine waits for one to map every new
#   window; unmanaged windows appear at once, with the caption and frame Wine
#   draws itself.
wine_prepare_desktop() {
    wine reg add 'HKCU\Software\Wine\Fonts\Replacements' /v 'Segoe UI' /d 'DejaVu Sans' /f \
        </dev/null >/dev/null 2>&1 || die "cannot map the Segoe UI font in $WINEPREFIX"
    wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f \
        </dev/null >/dev/null 2>&1 || die "cannot set unmanaged windows in $WINEPREFIX"
}

# Stops what wine_throwaway_prefix and wine_start_display started.
wine_cleanup() {
    if [ -n "${WINEPREFIX:-}" ] && [ -d "$WINEPREFIX" ]; then
        wineserver -k >/dev/null 2>&1 || true
        wineserver -w >/dev/null 2>&1 || true
        case "$WINEPREFIX" in
            */pelorin-prefix.*) rm -rf "$WINEPREFIX" ;;
        esac
    fi
    if [ -n "${PELORIN_XVFB_PID:-}" ]; then
        kill "$PELORIN_XVFB_PID" 2>/dev/null || true
        wait "$PELORIN_XVFB_PID" 2>/dev/null || true
    fi
}
