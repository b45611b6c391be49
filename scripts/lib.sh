# Shared set-up for scripts/run and scripts/test (sourced, not run): packages, build, Wine prefix, display, wineserver.
# Everything it starts is stopped again when the calling script exits, also on failure or Ctrl-C.

TAVIK_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD_DIR=${TAVIK_BUILD_DIR:-$TAVIK_ROOT/build}
WINE=/usr/lib/wine/wine64
WINESERVER=/usr/lib/wine/wineserver64

export WINEPREFIX=$BUILD_DIR/wineprefix
export WINEDEBUG=-all
export WINEARCH=win64
# No Mono or Gecko prompts while the prefix is made; Tavik needs neither.
export WINEDLLOVERRIDES="mscoree,mshtml="
export LANG=C.UTF-8 LC_ALL=C.UTF-8

# What building and testing need; scripts/run adds what its screenshot needs. Chromium, headless, reads the HTML
# report as a person's browser would.
TAVIK_PACKAGES=(cmake make gcc g++ python3 googletest
    g++-mingw-w64-x86-64-posix wine64 xvfb xauth fonts-ipafont-gothic chromium)

log() { printf '[tavik] %s\n' "$*" >&2; }

as_root() {
    if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi
}

ensure_packages() {
    local missing=() p
    for p in "${TAVIK_PACKAGES[@]}" "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    log "installing: ${missing[*]}"
    as_root apt-get update -qq
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

build() {
    cmake -S "$TAVIK_ROOT" -B "$BUILD_DIR" --preset cross "$@" >/dev/null
    cmake --build "$BUILD_DIR" -j "$(nproc)"
}

TAVIK_STARTED_XVFB=
TAVIK_STARTED_WINESERVER=

stop_services() {
    if [ -n "$TAVIK_STARTED_WINESERVER" ]; then
        "$WINESERVER" -k 2>/dev/null || true
        TAVIK_STARTED_WINESERVER=
    fi
    if [ -n "$TAVIK_STARTED_XVFB" ]; then
        kill "$TAVIK_STARTED_XVFB" 2>/dev/null || true
        wait "$TAVIK_STARTED_XVFB" 2>/dev/null || true
        TAVIK_STARTED_XVFB=
    fi
}

start_display() {
    if [ -n "${DISPLAY:-}" ]; then
        return 0
    fi
    local n=99
    while [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ]; do n=$((n + 1)); done
    Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
    TAVIK_STARTED_XVFB=$!
    local i
    for i in $(seq 1 100); do
        [ -e "/tmp/.X11-unix/X$n" ] && break
        sleep 0.1
    done
    export DISPLAY=":$n"
    log "virtual display $DISPLAY"
}

# Bump when the prefix settings below change, so existing prefixes are brought up to date.
TAVIK_PREFIX_VERSION=2

prepare_prefix() {
    local stamp=$WINEPREFIX/.tavik-ready
    # Wine's mount manager reads the drive links when its server starts: end any server of this prefix (a
    # persistent one would also make the waits below endless), and start ours once the links are in place.
    "$WINESERVER" -k 2>/dev/null || true
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        log "creating Wine prefix in $WINEPREFIX"
        mkdir -p "$WINEPREFIX"
        "$WINE" wineboot -i </dev/null >/dev/null 2>&1 || true
        "$WINESERVER" -w
    fi
    if [ "$(cat "$stamp" 2>/dev/null)" != "$TAVIK_PREFIX_VERSION" ]; then
        # The dialog's face is "ＭＳ Ｐゴシック"; without a mapping Wine falls back to a face without kana.
        local key='HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontSubstitutes' face
        for face in 'ＭＳ Ｐゴシック' 'MS PGothic' 'ＭＳ ゴシック' 'MS Gothic' 'MS UI Gothic' 'MS Shell Dlg' 'Tahoma'; do
            "$WINE" reg add "$key" /v "$face" /t REG_SZ /d IPAPGothic /f >/dev/null 2>&1
        done
        # Wine draws the window frames itself, so captions show on a display without a window manager.
        "$WINE" reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /t REG_SZ /d N /f >/dev/null 2>&1
        "$WINESERVER" -w
        echo "$TAVIK_PREFIX_VERSION" > "$stamp"
    fi
    # On our own virtual display no window manager runs, and Wine would wait about two seconds for one every time
    # a window closes: windows there are unmanaged. On the user's own display the window manager handles them.
    if [ -n "$TAVIK_STARTED_XVFB" ]; then
        "$WINE" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f >/dev/null 2>&1
    else
        "$WINE" reg delete 'HKCU\Software\Wine\X11 Driver' /v Managed /f >/dev/null 2>&1 || true
    fi
    "$WINESERVER" -w
    # Drive T: is a folder the tests own, for cases that need a whole drive.
    mkdir -p "$BUILD_DIR/drive_t"
    ln -sfn "$BUILD_DIR/drive_t" "$WINEPREFIX/dosdevices/t:"
}

start_wineserver() {
    # A persistent server saves every test process the server's start-up.
    "$WINESERVER" -p
    TAVIK_STARTED_WINESERVER=1
    # The first Wine process starts the prefix's services, which keep its output open for ever; started
    # from a test they would hold CTest's pipes and CTest would never see the test end.
    "$WINE" cmd /c exit </dev/null >/dev/null 2>&1 || true
}

setup_runtime() {
    trap stop_services EXIT
    trap 'exit 130' INT
    trap 'exit 143' TERM
    start_display
    prepare_prefix
    start_wineserver
}
