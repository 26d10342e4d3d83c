# Sourced by the scripts that open Windows windows under wine (tests/windows/window-e2e,
# scripts/screenshots-windows): a private X display, a wine prefix of the build tree kept for
# windows alone, the template fonts' stand-ins, and simulated devices linked as COM ports.
#
# A wine prefix's server and desktop belong to the X display of the first program that starts
# them; programs that start later under the same server draw there or nowhere. The console tests
# run without a display, so the windows get a prefix of their own (wine-prefix-gui beside the
# console tests' one), whose server is ended with the session.
#
# Callers set: wine_run (the build tree's wine-run), work (an empty folder of their own), and
# call gui_session_stop from their exit trap.

gui_pids=()
gui_links=()

# gui_session_start: the display, the prefix and the fonts. Sets DISPLAY and gui_prefix.
gui_session_start() {
    export QUORVANE_WINEPREFIX
    QUORVANE_WINEPREFIX=$(cd "$(dirname "$wine_run")" && pwd)/wine-prefix-gui
    gui_prefix=$QUORVANE_WINEPREFIX
    if ! command -v Xvfb >/dev/null; then
        echo "Xvfb is missing; run scripts/install-deps" >&2
        return 1
    fi
    # A server left by a run that was cut short still belongs to a display that has gone.
    WINEPREFIX=$gui_prefix wineserver -k 2>/dev/null || true

    # Xvfb picks a free display number and writes it to fd 3.
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
    gui_pids+=($!)
    for _ in $(seq 100); do
        [[ -s $work/display ]] && break
        sleep 0.1
    done
    if [[ ! -s $work/display ]]; then
        echo "Xvfb did not start:" >&2
        cat "$work/xvfb.log" >&2
        return 1
    fi
    export DISPLAY=:$(cat "$work/display")

    "$wine_run" >/dev/null  # makes the prefix on first use
    # The templates name "Arial" and "宋体" (SimSun), which a Windows machine has: here their
    # stand-ins are Liberation Sans (Arial's widths) and WenQuanYi Micro Hei (the CJK glyphs).
    # The windows open in a desktop window of wine's own, which draws their frames and captions
    # as Windows does (and needs no window manager). regedit reads UTF-16 files, which can carry
    # the Chinese name.
    {
        printf '\xff\xfe'
        printf '%s\r\n' 'Windows Registry Editor Version 5.00' '' \
            '[HKEY_CURRENT_USER\Software\Wine\Fonts\Replacements]' \
            '"Arial"="Liberation Sans"' '"SimSun"="WenQuanYi Micro Hei"' \
            '"宋体"="WenQuanYi Micro Hei"' '' \
            '[HKEY_CURRENT_USER\Software\Wine\Explorer]' '"Desktop"="Default"' '' \
            '[HKEY_CURRENT_USER\Software\Wine\Explorer\Desktops]' '"Default"="1024x768"' |
            iconv -f UTF-8 -t UTF-16LE
    } >"$work/session.reg"
    "$wine_run" regedit /S "Z:${work//\//\\}\\session.reg"
    # The desktop started with regedit predates these settings: the next program starts anew.
    WINEPREFIX=$gui_prefix wineserver -k 2>/dev/null || true
    WINEPREFIX=$gui_prefix wineserver -w 2>/dev/null || true
}

# gui_start_device PORT [OPTIONS...]: serves a simulated device (quorvane-target, in $target)
# on a pseudo-terminal and links it as COM<PORT> in the prefix. Its event lines go to
# $work/port<PORT>.log (not com<PORT>.log: to Windows that name is the serial port itself).
gui_start_device() {
    local port=$1
    shift
    "$target" "$@" >"$work/port$port.out" 2>"$work/port$port.log" &
    gui_pids+=($!)
    local pty=
    for _ in $(seq 100); do
        pty=$(sed -n 's/^quorvane-target: serving on //p' "$work/port$port.out")
        [[ -n $pty ]] && break
        sleep 0.05
    done
    if [[ -z $pty ]]; then
        echo "the simulated device for COM$port did not start:" >&2
        cat "$work/port$port.out" "$work/port$port.log" >&2
        return 1
    fi
    local link=$gui_prefix/dosdevices/com$port
    ln -sfn "$pty" "$link"
    gui_links+=("$link")
}

gui_session_stop() {
    if [[ -n ${gui_prefix:-} ]]; then
        WINEPREFIX=$gui_prefix wineserver -k 2>/dev/null || true
    fi
    for link in "${gui_links[@]}"; do rm -f "$link"; done
    for pid in "${gui_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    for pid in "${gui_pids[@]}"; do wait "$pid" 2>/dev/null || true; done
}
