#!/usr/bin/env bash
# Builds the benchmark corpus in DIR (default build/bench/corpus): photo-like plasma images with
# fixed seeds in every colour type, each also Adam7-interlaced; screen-like images (flat areas,
# UI shapes, a 1-bit document page); and the real-world PNG files that installed Debian packages
# put under /usr/share. Files are named CLASS-NAME.png; nothing here is committed.
# Made once: an existing, complete corpus (marked by .complete) is kept.
set -euo pipefail

dir="${1:-build/bench/corpus}"
if [ -f "$dir/.complete" ]; then
  echo "make-corpus: $dir is complete"
  exit 0
fi
rm -rf "$dir"
mkdir -p "$dir"
tmp="$dir/.work"
mkdir -p "$tmp"

w=2048
h=1536
# Plasma needs 16-bit channels to give the 16-bit images real low bytes.
convert -size ${w}x${h} -seed 11 plasma:fractal -blur 0x1 "$tmp/rgb.miff"
convert -size ${w}x${h} -seed 23 plasma:fractal -colorspace Gray -blur 0x2 "$tmp/alpha.miff"
convert "$tmp/rgb.miff" "$tmp/alpha.miff" -alpha off -compose CopyOpacity -composite \
  "$tmp/rgba.miff"

photo() {  # name, coder, source, options...
  local name="$1" coder="$2" source="$3"
  shift 3
  convert "$source" "$@" "$coder:$dir/photo-$name.png"
  convert "$source" "$@" -interlace PNG "$coder:$dir/interlaced-$name.png"
}
photo grey8 PNG "$tmp/rgb.miff" -colorspace Gray -depth 8 -define png:color-type=0 \
  -define png:bit-depth=8
photo greyalpha8 PNG "$tmp/rgba.miff" -colorspace Gray -depth 8 -define png:color-type=4 \
  -define png:bit-depth=8
photo rgb8 PNG "$tmp/rgb.miff" -depth 8 -define png:color-type=2 -define png:bit-depth=8
photo rgba8 PNG "$tmp/rgba.miff" -depth 8 -define png:color-type=6 -define png:bit-depth=8
photo rgb16 PNG "$tmp/rgb.miff" -depth 16 -define png:color-type=2 -define png:bit-depth=16
photo palette8 PNG8 "$tmp/rgb.miff" -dither FloydSteinberg -colors 256
photo palette4 PNG8 "$tmp/rgb.miff" -dither FloydSteinberg -colors 16 -define png:bit-depth=4

# Drawing primitives, one -draw argument each (the default security policy refuses @file).
draws() {
  draw=()
  local primitive
  while IFS= read -r primitive; do draw+=(-draw "$primitive"); done < "$1"
}

# Screen-like: a desktop of flat windows, title bars, buttons and text-like strokes, drawn from
# a fixed pseudo-random sequence.
awk -v W=1920 -v H=1080 'BEGIN {
  srand(7);
  print "fill #3a6ea5 rectangle 0,0 " W "," H;
  for (win = 0; win < 9; win++) {
    x = int(rand() * (W - 700)); y = int(rand() * (H - 500));
    ww = 400 + int(rand() * 300); wh = 250 + int(rand() * 250);
    print "fill #000000 rectangle " x+4 "," y+4 " " x+ww+4 "," y+wh+4;
    print "fill #ececec rectangle " x "," y " " x+ww "," y+wh;
    print "fill #2b5797 rectangle " x "," y " " x+ww "," y+24;
    for (b = 0; b < 3; b++) print "fill #d04040 rectangle " x+ww-22-b*22 "," y+4 " " x+ww-6-b*22 "," y+20;
    for (line = 0; line * 16 + 40 < wh - 40; line++) {
      lx = x + 12;
      while (lx < x + ww - 60) {
        word = 12 + int(rand() * 50);
        print "fill #202020 rectangle " lx "," y+40+line*16 " " lx+word "," y+49+line*16;
        lx += word + 7;
      }
    }
    print "fill #c0c0c0 rectangle " x+ww-90 "," y+wh-30 " " x+ww-10 "," y+wh-8;
  }
}' > "$tmp/desktop.mvg"
draws "$tmp/desktop.mvg"
convert -size 1920x1080 xc:white "${draw[@]}" "$tmp/desktop.miff"
convert "$tmp/desktop.miff" -define png:color-type=2 -define png:bit-depth=8 \
  "PNG:$dir/screen-desktop-rgb.png"
convert "$tmp/desktop.miff" -colors 256 "PNG8:$dir/screen-desktop-palette.png"
convert "$tmp/desktop.miff" -define png:color-type=2 -define png:bit-depth=8 -interlace PNG \
  "PNG:$dir/screen-desktop-interlaced.png"

# A UI mock-up with gradients in flat panels and alpha around rounded shapes.
convert -size 1600x1000 xc:none -fill '#f5f5f5' -draw 'roundrectangle 10,10 1590,990 30,30' \
  -fill '#4a90d9' -draw 'roundrectangle 40,40 1560,120 20,20' \
  -fill '#ffffff' -draw 'roundrectangle 40,160 500,960 16,16' \
  -fill '#ffffff' -draw 'roundrectangle 540,160 1560,960 16,16' \
  -fill '#e0e0e0' -draw 'circle 270,400 270,300' -fill '#7ac143' -draw 'circle 1050,560 1050,300' \
  -define png:color-type=6 -define png:bit-depth=8 "PNG:$dir/screen-ui-rgba.png"

# A scanned-looking document page at 1 bit: text lines of word-sized strokes.
awk -v W=2480 -v H=3508 'BEGIN {
  srand(3);
  for (line = 0; line < 140; line++) {
    y = 200 + line * 22; x = 200;
    if (line % 12 == 11) continue;
    while (x < W - 260) {
      word = 20 + int(rand() * 120);
      print "rectangle " x "," y " " x+word "," y+12;
      x += word + 18;
    }
  }
}' > "$tmp/page.mvg"
draws "$tmp/page.mvg"
convert -size 2480x3508 xc:white -fill black "${draw[@]}" -monochrome \
  -define png:color-type=0 -define png:bit-depth=1 "PNG:$dir/screen-page-1bit.png"

# Real-world files: every PNG of at least 4 KiB under /usr/share, one per distinct content,
# largest first (name order within a size), the first 37 that libpng reads.
n=0
while read -r size path; do
  [ "$n" -ge 37 ] && break
  sum=$(md5sum < "$path" | cut -c1-32)
  [ -e "$tmp/seen-$sum" ] && continue
  : > "$tmp/seen-$sum"
  identify "$path" >/dev/null 2>&1 || continue
  n=$((n + 1))
  printf -v name 'real-%02d-%s' "$n" "$(basename "$path" .png | tr -c 'A-Za-z0-9_\n-' '_' | cut -c1-40)"
  cp "$path" "$dir/$name.png"
done < <(find /usr/share -name '*.png' -type f -size +4k -printf '%s %p\n' 2>/dev/null |
         sort -k1,1nr -k2,2)

rm -rf "$tmp"
: > "$dir/.complete"
echo "make-corpus: $(ls "$dir" | wc -l) files in $dir"
