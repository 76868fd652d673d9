#!/usr/bin/env bash
# render-icons.sh [--sheet FILE.png]
# Re-renders res/icons/*.ico from their drawings: every icon has one SVG per size (NAME-16.svg,
# NAME-32.svg, NAME-48.svg), each drawn on its own pixel grid, and is packed as one .ico with the three
# images at 32 bits per pixel with alpha. The produced files are checked before they replace the old ones.
# With --sheet, also writes an enlarged contact sheet of the packed images (taken back out of the .ico
# files) on a light and on a dark background, for looking at the result.
#
# Needs rsvg-convert (Debian package librsvg2-bin) and icotool (icoutils); --sheet also needs ImageMagick
# (imagemagick). Installs nothing: the build uses the committed .ico files and never runs this script.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
dir="$root/res/icons"
icons=(device nodevice app)
sizes=(16 32 48)

sheet=""
while [ $# -gt 0 ]; do
    case $1 in
        --sheet)
            [ $# -ge 2 ] || { echo "render-icons: --sheet needs a file name" >&2; exit 2; }
            sheet=$2
            shift 2
            ;;
        -h | --help)
            sed -n '2,10s/^# \{0,1\}//p' "$0"
            exit 0
            ;;
        *)
            echo "render-icons: unknown argument '$1' (see --help)" >&2
            exit 2
            ;;
    esac
done

missing=()
need() { # need COMMAND PACKAGE
    command -v "$1" >/dev/null 2>&1 || missing+=("$1 (Debian package $2)")
}
need rsvg-convert librsvg2-bin
need icotool icoutils
# /usr/local/bin/convert may be something else on a developer's machine: ImageMagick's own is asked for.
magick=/usr/bin/convert
if [ -n "$sheet" ] && [ ! -x "$magick" ]; then
    missing+=("$magick (Debian package imagemagick)")
fi
if [ ${#missing[@]} -gt 0 ]; then
    echo "render-icons: missing tools, install them and run again:" >&2
    printf '  %s\n' "${missing[@]}" >&2
    exit 1
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# check_ico FILE: exactly one 32-bit image of each size, in the order of $sizes.
check_ico() {
    local file=$1 expected="" listed
    for s in "${sizes[@]}"; do
        expected+="--icon --index=IDX --width=$s --height=$s --bit-depth=32 --palette-size=0"$'\n'
    done
    listed=$(icotool -l "$file" | sed 's/--index=[0-9]*/--index=IDX/')
    if [ "$listed"$'\n' != "$expected" ]; then
        echo "render-icons: $file does not hold the expected images; icotool -l says:" >&2
        icotool -l "$file" >&2 || true
        return 1
    fi
}

for name in "${icons[@]}"; do
    pngs=()
    for s in "${sizes[@]}"; do
        src="$dir/$name-$s.svg"
        [ -f "$src" ] || { echo "render-icons: missing drawing $src" >&2; exit 1; }
        png="$work/$name-$s.png"
        # Each drawing's own grid is its pixel size, so this is a 1:1 render, never a scale.
        rsvg-convert --width "$s" --height "$s" --format png --output "$png" "$src"
        pngs+=("$png")
    done
    icotool --create --bit-depth=32 --output="$work/$name.ico" "${pngs[@]}"
    check_ico "$work/$name.ico"
done

# Only a complete, checked set replaces the committed files.
for name in "${icons[@]}"; do
    cp "$work/$name.ico" "$dir/$name.ico"
    echo "render-icons: wrote res/icons/$name.ico"
    icotool -l "$dir/$name.ico" | sed 's/^/    /'
done

if [ -n "$sheet" ]; then
    # One row per icon: the three sizes enlarged 4x without smoothing, then the three at their real size.
    # The block is shown twice, on light grey and on near-black.
    for name in "${icons[@]}"; do
        icotool --extract --output="$work" "$dir/$name.ico"
    done
    block() { # block BACKGROUND OUTPUT
        local bg=$1 out=$2 rows=()
        for name in "${icons[@]}"; do
            local cells=()
            for s in "${sizes[@]}"; do
                local f
                f=$(ls "$work/${name}_"*"_${s}x${s}x32.png")
                "$magick" "$f" -filter point -resize 400% -background "$bg" -gravity center \
                    -extent 208x208 "$work/cell-$name-$s-big.png"
                cells+=("$work/cell-$name-$s-big.png")
            done
            for s in "${sizes[@]}"; do
                f=$(ls "$work/${name}_"*"_${s}x${s}x32.png")
                "$magick" "$f" -background "$bg" -gravity center -extent 64x208 "$work/cell-$name-$s-real.png"
                cells+=("$work/cell-$name-$s-real.png")
            done
            "$magick" "${cells[@]}" -background "$bg" +append "$work/row-$name.png"
            rows+=("$work/row-$name.png")
        done
        "$magick" "${rows[@]}" -background "$bg" -append -alpha remove -alpha off "$out"
    }
    block '#d4d4d4' "$work/light.png"
    block '#1e1e1e' "$work/dark.png"
    "$magick" "$work/light.png" "$work/dark.png" +append "$sheet"
    echo "render-icons: wrote $sheet"
fi
