# wine-loader.sh — sourced by the scripts that run Windows programs. Picks the Wine loader for the
# prefix's architecture (WINEARCH: win64, the default, or win32) and exports WINELOADER, so that a
# 64-bit and a 32-bit Wine can stay installed side by side:
#   win64: /usr/lib/wine/wine64. Debian's `wine` script switches to the 32-bit loader as soon as wine32
#          is installed, and a 64-bit prefix that was made by the 32-bit loader is not the one our tests
#          expect; so 64-bit programs always go to the 64-bit loader directly.
#   win32: /usr/lib/wine/wine, the 32-bit loader (the wine32:i386 package).
# Sets wine_loader to the loader's path, or exits with a message when that Wine is not installed.
export WINEARCH=${WINEARCH:-win64}
case "$WINEARCH" in
win64) wine_loader=/usr/lib/wine/wine64 ;;
win32) wine_loader=/usr/lib/wine/wine ;;
*)
    echo "wine-loader.sh: unknown WINEARCH $WINEARCH (win64 or win32)" >&2
    exit 2
    ;;
esac
if [ ! -x "$wine_loader" ]; then
    if [ "$WINEARCH" = win32 ]; then
        echo "wine-loader.sh: no 32-bit Wine ($wine_loader): install wine32:i386 (scripts/install-deps.sh does)" >&2
    else
        echo "wine-loader.sh: no 64-bit Wine ($wine_loader): install wine64" >&2
    fi
    exit 1
fi
export WINELOADER=$wine_loader
