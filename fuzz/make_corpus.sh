#!/usr/bin/env bash
# Regenerates the seed files in fuzz/corpus/ with real encoders: ImageMagick (convert),
# libjpeg-turbo's cjpeg, djpeg, jpegtran and wrjpgcom, and libtiff's tiffcp and tiffset (gzip
# only computes checksums).
# Seeds are tiny images (1x1 to 64x64) in the variants each reader meets in practice,
# including the ones it refuses and files cut short. Run from anywhere; replaces the folder.
set -euo pipefail
export LC_ALL=C
cd "$(dirname "$0")"

for tool in convert cjpeg djpeg jpegtran wrjpgcom tiffcp tiffset gzip; do
    command -v "$tool" >/dev/null || {
        echo "make_corpus.sh: $tool is missing (imagemagick, libjpeg-turbo-progs, libtiff-tools, gzip)" >&2
        exit 1
    }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# Findings and refusals that tests/imageio replays were made by hand or by the tests' own
# writers, not by the tools here: they are kept as they are.
kept='bmp/refused_*.bmp jpeg/claims_9000_baseline.jpg jpeg/claims_6000_progressive.jpg
    tiff/claims_8192x1024_grey8_holds_8300.tif tiff/claims_500x500_rgb16_packbits_no_photometric.tif
    tiff/rgb16_no_photometric_2x1.tif tiff/grey8_packbits_densest_4096x64.tif
    tiff/grey8_deflate_16x16.tif tiff/grey16_float_16x16.tif tiff/rgb16_float_16x16.tif
    tiff/rgb4_16x16.tif tiff/rgb8_jpeg_16x16.tif tiff/rgb8_signed_16x16.tif
    tiff/rgb_one_sample_16x16.tif tiff/five_samples_16x16.tif
    raw/*.dng'
mkdir -p "$work/kept"
# Unquoted on purpose: the patterns expand inside corpus/.
(cd corpus && cp --parents $kept "$work/kept/")
rm -rf corpus
mkdir -p corpus/bmp corpus/jpeg corpus/png corpus/tiff corpus/settings corpus/filenames
cp -r "$work/kept/." corpus/

# The photograph built into ImageMagick, at an exact size, as 8-bit binary PPM.
ppm() {
    convert rose: -resize "$1!" -depth 8 "ppm:$work/$1.ppm"
    echo "$work/$1.ppm"
}

# Little-endian fields as printf escapes.
le16() { printf '\\x%02x\\x%02x' $(($1 & 255)) $(($1 >> 8 & 255)); }
le32() { printf '%s%s' "$(le16 $(($1 & 0xFFFF)))" "$(le16 $(($1 >> 16 & 0xFFFF)))"; }

# Big-endian fields as printf escapes.
be16() { printf '\\x%02x\\x%02x' $(($1 >> 8 & 255)) $(($1 & 255)); }
be32() { printf '%s%s' "$(be16 $(($1 >> 16 & 0xFFFF)))" "$(be16 $(($1 & 0xFFFF)))"; }

# Overwrites bytes at an offset with the given printf escapes.
patch() {
    printf "$3" | dd of="$1" bs=1 seek="$2" conv=notrunc status=none
}

# Overwrites 4 bytes at an offset with a little-endian value (two's complement).
put32le() {
    patch "$1" "$2" "$(le32 $(($3 & 0xFFFFFFFF)))"
}

# First half of a file: a transfer cut short.
half() {
    head -c $(($(stat -c %s "$1") / 2)) "$1" >"$2"
}

# --- BMP: uncompressed 24-bit files with the 40-byte header, and what other writers make -
for size in 1x1 2x3 3x2 7x5 16x16 33x17 64x48; do
    cjpeg -quality 95 "$(ppm $size)" | djpeg -bmp >"corpus/bmp/rgb24_$size.bmp"
done
convert rose: -resize '13x9!' -type TrueColor BMP3:corpus/bmp/rgb24_magick_13x9.bmp
cjpeg "$(ppm 16x16)" | djpeg -bmp -colors 256 >corpus/bmp/palette8_16x16.bmp
convert rose: -resize '16x16!' -type Palette -compress RLE BMP3:corpus/bmp/rle8_16x16.bmp
convert rose: -resize '16x16!' -type TrueColor BMP:corpus/bmp/v5header_16x16.bmp
convert rose: -resize '8x8!' -alpha set -type TrueColorAlpha BMP3:corpus/bmp/rgba32_8x8.bmp
# Rows stored top row first, announced by a negative height.
cp corpus/bmp/rgb24_7x5.bmp corpus/bmp/topdown_7x5.bmp
put32le corpus/bmp/topdown_7x5.bmp 22 -5
# Six spare bytes between the headers and the pixels, which the offset field skips.
{
    head -c 54 corpus/bmp/rgb24_3x2.bmp
    printf '\0\0\0\0\0\0'
    tail -c +55 corpus/bmp/rgb24_3x2.bmp
} >corpus/bmp/gap_3x2.bmp
put32le corpus/bmp/gap_3x2.bmp 10 60
half corpus/bmp/rgb24_33x17.bmp corpus/bmp/truncated_33x17.bmp
# ImageMagick's headers: 40 bytes, and 124 (V5) with 24 bits, or 32 with alpha in bit fields.
convert rose: -resize '7x5!' -type TrueColor BMP3:corpus/bmp/bmp3_rgb24_7x5.bmp
convert rose: -resize '7x5!' -alpha off -type TrueColor BMP:corpus/bmp/v5_rgb24_7x5.bmp
convert rose: -resize '7x5!' -alpha set -type TrueColorAlpha BMP:corpus/bmp/v5_argb32_7x5.bmp
# The 108-byte (V4) header is the V5 one without its last 16 bytes (colour profile fields).
v4_from_v5() {
    { head -c 122 "$1"; tail -c +139 "$1"; } >"$2"
    put32le "$2" 2 $(($(stat -c %s "$1") - 16))
    put32le "$2" 10 $(($(od -An -tu4 -j10 -N4 "$1") - 16))
    put32le "$2" 14 108
}
v4_from_v5 corpus/bmp/v5_rgb24_7x5.bmp corpus/bmp/v4_rgb24_7x5.bmp
v4_from_v5 corpus/bmp/v5_argb32_7x5.bmp corpus/bmp/v4_argb32_7x5.bmp
for header in bmp3_rgb24 v5_rgb24 v5_argb32; do
    cp corpus/bmp/${header}_7x5.bmp corpus/bmp/${header}_topdown_7x5.bmp
    put32le corpus/bmp/${header}_topdown_7x5.bmp 22 -5
done
# A header claiming 30000 x 30000 pixels in front of one pixel's data.
cp corpus/bmp/rgb24_1x1.bmp corpus/bmp/claims_30000x30000.bmp
put32le corpus/bmp/claims_30000x30000.bmp 18 30000
put32le corpus/bmp/claims_30000x30000.bmp 22 30000

# --- JPEG: colour, grey and four-component files; cut files; huge claims ---------------
for size in 1x1 7x5 16x16 33x17 64x64; do
    cjpeg -quality 75 "$(ppm $size)" >"corpus/jpeg/baseline420_$size.jpg"
done
cjpeg -sample 1x1 "$(ppm 16x16)" >corpus/jpeg/baseline444_16x16.jpg
cjpeg -sample 2x1 "$(ppm 33x17)" >corpus/jpeg/baseline422_33x17.jpg
cjpeg -quality 100 -optimize "$(ppm 16x16)" >corpus/jpeg/optimized_q100_16x16.jpg
cjpeg -quality 5 "$(ppm 33x17)" >corpus/jpeg/q5_33x17.jpg
cjpeg -progressive "$(ppm 33x17)" >corpus/jpeg/progressive_33x17.jpg
cjpeg -progressive "$(ppm 64x64)" >corpus/jpeg/progressive_64x64.jpg
cjpeg -arithmetic "$(ppm 16x16)" >corpus/jpeg/arithmetic_16x16.jpg
cjpeg -restart 1B "$(ppm 33x17)" >corpus/jpeg/restart_33x17.jpg
cjpeg -rgb "$(ppm 16x16)" >corpus/jpeg/rgbspace_16x16.jpg
cjpeg -grayscale "$(ppm 16x16)" >corpus/jpeg/grey_16x16.jpg
convert rose: -resize '16x16!' -colorspace CMYK -quality 80 corpus/jpeg/cmyk_16x16.jpg
jpegtran -progressive corpus/jpeg/baseline420_7x5.jpg >corpus/jpeg/jpegtran_progressive_7x5.jpg
wrjpgcom -comment "seed" corpus/jpeg/baseline420_16x16.jpg >corpus/jpeg/comment_16x16.jpg
half corpus/jpeg/baseline420_64x64.jpg corpus/jpeg/truncated_baseline_64x64.jpg
half corpus/jpeg/progressive_64x64.jpg corpus/jpeg/truncated_progressive_64x64.jpg
# Small files whose frame header claims 60000 x 60000 pixels (big-endian height, width).
claim_60000() {  # source, frame marker byte (c0 baseline, c2 progressive), output
    local at
    at=$(grep -obUaP "\xff\x$2" "$1" | head -1 | cut -d: -f1)
    cp "$1" "$3"
    patch "$3" $((at + 5)) '\xea\x60\xea\x60'
}
claim_60000 corpus/jpeg/baseline420_16x16.jpg c0 corpus/jpeg/claims_60000_baseline.jpg
claim_60000 corpus/jpeg/progressive_33x17.jpg c2 corpus/jpeg/claims_60000_progressive.jpg
cjpeg -grayscale -progressive "$(ppm 33x17)" >corpus/jpeg/grey_progressive_33x17.jpg
convert rose: -resize '7x5!' -colorspace Gray -quality 90 corpus/jpeg/grey_magick_7x5.jpg
# ImageMagick stores CMYK as YCCK (Adobe transform 2); transform 0 makes it plain CMYK.
convert rose: -resize '33x17!' -colorspace CMYK corpus/jpeg/ycck_33x17.jpg
convert rose: -resize '7x5!' -colorspace CMYK -interlace JPEG corpus/jpeg/ycck_progressive_7x5.jpg
at=$(grep -obUaP '\xff\xee' corpus/jpeg/ycck_33x17.jpg | head -1 | cut -d: -f1)
cp corpus/jpeg/ycck_33x17.jpg corpus/jpeg/cmyk_plain_33x17.jpg
patch corpus/jpeg/cmyk_plain_33x17.jpg $((at + 15)) '\x00'
half corpus/jpeg/ycck_33x17.jpg corpus/jpeg/truncated_ycck_33x17.jpg

# --- TIFF: RGB with contiguous samples is read row by row, the rest through the RGBA reader.
# Every compression libtiff's tools write (no encoder makes ThunderScan or NeXT).
magick_tiff() {  # size, output, extra convert options...
    local size=$1 out=$2
    shift 2
    convert rose: -resize "$size!" -strip "$@" "corpus/tiff/$out"
}
for size in 1x1 7x5 16x16 33x17; do
    magick_tiff $size "rgb8_$size.tif" -type TrueColor -depth 8 -compress None
done
magick_tiff 16x16 rgb16_16x16.tif -type TrueColor -depth 16 -compress None
magick_tiff 16x16 rgba8_16x16.tif -alpha set -type TrueColorAlpha -depth 8 -compress None
magick_tiff 7x5 rgba16_7x5.tif -alpha set -type TrueColorAlpha -depth 16 -compress None
magick_tiff 16x16 grey8_16x16.tif -colorspace Gray -depth 8 -compress None
magick_tiff 33x17 grey16_33x17.tif -colorspace Gray -depth 16 -compress None
magick_tiff 33x17 bilevel_33x17.tif -monochrome -depth 1 -compress None
magick_tiff 16x16 palette8_16x16.tif -type Palette -depth 8 -compress None
magick_tiff 7x5 palette4_7x5.tif -colors 16 -type Palette -depth 4 -compress None
magick_tiff 16x16 cmyk8_16x16.tif -colorspace CMYK -depth 8 -compress None
magick_tiff 16x16 miniswhite_16x16.tif -colorspace Gray -negate -depth 8 -compress None
tiffset -s 262 0 corpus/tiff/miniswhite_16x16.tif
tiffcp -c packbits corpus/tiff/rgb8_33x17.tif corpus/tiff/rgb8_packbits_33x17.tif
tiffcp -c packbits corpus/tiff/rgb16_16x16.tif corpus/tiff/rgb16_packbits_16x16.tif
tiffcp -c packbits corpus/tiff/palette8_16x16.tif corpus/tiff/palette8_packbits_16x16.tif
tiffcp -c packbits corpus/tiff/grey8_16x16.tif corpus/tiff/grey8_packbits_16x16.tif
tiffcp -c lzw corpus/tiff/rgb8_16x16.tif corpus/tiff/rgb8_lzw_16x16.tif
tiffcp -c lzw:2 corpus/tiff/grey8_16x16.tif corpus/tiff/grey8_lzw_predictor_16x16.tif
tiffcp -c none -p separate corpus/tiff/rgb8_16x16.tif corpus/tiff/rgb8_planar_16x16.tif
tiffcp -c packbits -p separate corpus/tiff/rgba8_16x16.tif corpus/tiff/rgba8_planar_packbits_16x16.tif
tiffcp -c none -r 1 corpus/tiff/rgb8_7x5.tif corpus/tiff/rgb8_strip_per_row_7x5.tif
tiffcp -c none -t -w 16 -l 16 corpus/tiff/rgb8_33x17.tif corpus/tiff/rgb8_tiled_33x17.tif
tiffcp -c none -t -w 16 -l 16 corpus/tiff/grey8_16x16.tif corpus/tiff/grey8_tiled_16x16.tif
tiffcp -c none -B corpus/tiff/rgb16_16x16.tif corpus/tiff/rgb16_bigendian_16x16.tif
tiffcp -c none -8 corpus/tiff/rgb8_7x5.tif corpus/tiff/rgb8_bigtiff_7x5.tif
cp corpus/tiff/rgb8_7x5.tif corpus/tiff/rgb8_orientation_bottom_7x5.tif
tiffset -s Orientation 4 corpus/tiff/rgb8_orientation_bottom_7x5.tif
cp corpus/tiff/grey8_16x16.tif corpus/tiff/grey8_orientation_rotated_16x16.tif
tiffset -s Orientation 6 corpus/tiff/grey8_orientation_rotated_16x16.tif
# Without a colour model the RGBA reader guesses from the sample count.
cp corpus/tiff/rgb8_7x5.tif corpus/tiff/rgb8_no_photometric_7x5.tif
tiffset -u 262 corpus/tiff/rgb8_no_photometric_7x5.tif
# Cut in half, which loses the directory at the end.
half corpus/tiff/rgb8_33x17.tif corpus/tiff/truncated_directory_lost_33x17.tif

# Uncompressed one-strip files with the directory first, so a short strip still opens:
# width, height, photometric (2 RGB, 1 grey), samples, strip bytes claimed, bytes present.
tiff_claiming() {
    local width=$1 height=$2 photometric=$3 samples=$4 claimed=$5 present=$6 out=$7
    local entries=9 data=$((8 + 2 + 9 * 12 + 4))
    entry() { printf '%s%s%s%s' "$(le16 $1)" "$(le16 $2)" "$(le32 1)" "$(le32 $3)"; }
    {
        printf 'II*\0'"$(le32 8)$(le16 $entries)"
        printf "$(entry 256 4 "$width")$(entry 257 4 "$height")$(entry 258 3 8)"
        printf "$(entry 259 3 1)$(entry 262 3 "$photometric")$(entry 273 4 $data)"
        printf "$(entry 277 3 "$samples")$(entry 278 4 "$height")$(entry 279 4 "$claimed")"
        printf "$(le32 0)"
        head -c "$present" /dev/zero | tr '\0' '\200'
    } >"corpus/tiff/$out"
}
tiff_claiming 16 16 2 3 768 300 short_strip_rgb8_16x16.tif
tiff_claiming 16 16 1 1 256 100 short_strip_grey8_16x16.tif
tiff_claiming 60000 60000 2 3 4294967295 64 claims_60000x60000_rgb8.tif
tiff_claiming 60000 60000 1 1 3600000000 64 claims_60000x60000_grey8.tif
# The whole image in one PackBits strip, as our writer stores it.
convert rose: -resize '33x17!' -strip -compress RLE -define tiff:rows-per-strip=17 \
    corpus/tiff/rgb8_one_strip_packbits_33x17.tif
for scheme in lzw zip zstd lzma; do
    tiffcp -c $scheme corpus/tiff/rgb8_33x17.tif corpus/tiff/rgb8_${scheme}_33x17.tif
    tiffcp -c $scheme corpus/tiff/rgb16_16x16.tif corpus/tiff/rgb16_${scheme}_16x16.tif
    tiffcp -c $scheme:2 corpus/tiff/rgb16_16x16.tif corpus/tiff/rgb16_${scheme}_predictor_16x16.tif
done
tiffcp -c webp corpus/tiff/rgb8_33x17.tif corpus/tiff/rgb8_webp_33x17.tif
tiffcp -c webp:p100 corpus/tiff/rgba8_16x16.tif corpus/tiff/rgba8_webp_lossless_16x16.tif
tiffcp -c jpeg corpus/tiff/rgb8_33x17.tif corpus/tiff/rgb8_jpeg_ycbcr_33x17.tif
tiffcp -c jpeg:r corpus/tiff/rgb8_33x17.tif corpus/tiff/rgb8_jpeg_rgb_33x17.tif
tiffcp -c g3 corpus/tiff/bilevel_33x17.tif corpus/tiff/bilevel_g3_33x17.tif
tiffcp -c g3:2d:fill corpus/tiff/bilevel_33x17.tif corpus/tiff/bilevel_g3_2d_33x17.tif
tiffcp -c g4 corpus/tiff/bilevel_33x17.tif corpus/tiff/bilevel_g4_33x17.tif
tiffcp -c lzw -t -w 16 -l 16 corpus/tiff/rgb8_33x17.tif corpus/tiff/rgb8_lzw_tiled_33x17.tif
tiffcp -c lzw:2 -t -w 16 -l 16 corpus/tiff/rgb16_16x16.tif corpus/tiff/rgb16_lzw_tiled_16x16.tif
# tiffcp puts the strips first: garbage in the middle of the LZW codes, the directory intact.
cp corpus/tiff/rgb8_lzw_33x17.tif corpus/tiff/damaged_lzw_33x17.tif
patch corpus/tiff/damaged_lzw_33x17.tif 200 "$(printf '\\xff%.0s' {1..16})"

# --- PNG: every colour type and depth, with and without transparency, interlaced or not ----
# ImageMagick quietly writes another type where it cannot honour the defines; the check keeps
# every seed what its name says. A format prefix (PNG8, PNG24, PNG48) lets transparency through
# as a tRNS chunk.
magick_png() {  # size, output, depth, colour type, extra convert options...
    local size=$1 out=$2 depth=$3 type=$4 interlace=0
    shift 4
    convert rose: -resize "$size!" -strip "$@" -depth "$depth" -define png:bit-depth="$depth" \
        -define png:color-type="$type" "${format:-PNG}:corpus/png/$out"
    [[ $out == *interlaced* ]] && interlace=1
    [[ $(od -An -tu1 -j24 -N5 "corpus/png/$out" | xargs) == "$depth $type 0 0 $interlace" ]] &&
        { [[ $out != *trns* ]] || grep -qa tRNS "corpus/png/$out"; } || {
        echo "make_corpus.sh: ImageMagick did not make $out" >&2
        exit 1
    }
}
grey=(-colorspace Gray)
alpha=(-alpha set -channel A -fx 'i/w' +channel)
trns=(-alpha set -fill none -draw 'color 0,0 replace')  # pixel 0,0's colour turns transparent
for depth in 1 2 4 8 16; do
    magick_png 16x16 grey${depth}_16x16.png $depth 0 "${grey[@]}"
done
format=PNG48 magick_png 16x16 grey16_trns_16x16.png 16 0 "${grey[@]}" "${trns[@]}"
magick_png 16x16 greyalpha8_16x16.png 8 4 "${grey[@]}" "${alpha[@]}"
magick_png 7x5 greyalpha16_7x5.png 16 4 "${grey[@]}" "${alpha[@]}"
for depth in 1 2 4 8; do
    magick_png 16x16 palette${depth}_16x16.png $depth 3 -colors $((1 << depth))
    format=PNG8 magick_png 16x16 palette${depth}_trns_16x16.png $depth 3 -colors $((1 << depth)) \
        "${trns[@]}"
done
for size in 1x1 7x5 16x16 33x17; do
    magick_png $size rgb8_$size.png 8 2
done
magick_png 16x16 rgb16_16x16.png 16 2
format=PNG24 magick_png 16x16 rgb8_trns_16x16.png 8 2 "${trns[@]}"
format=PNG48 magick_png 7x5 rgb16_trns_7x5.png 16 2 "${trns[@]}"
magick_png 16x16 rgba8_16x16.png 8 6 "${alpha[@]}"
magick_png 7x5 rgba16_7x5.png 16 6 "${alpha[@]}"
magick_png 33x17 rgb8_interlaced_33x17.png 8 2 -interlace PNG
magick_png 7x5 rgb16_interlaced_7x5.png 16 2 -interlace PNG
magick_png 16x16 grey2_interlaced_16x16.png 2 0 "${grey[@]}" -interlace PNG
magick_png 3x2 palette4_interlaced_3x2.png 4 3 -colors 16 -interlace PNG
magick_png 7x5 rgba8_interlaced_7x5.png 8 6 "${alpha[@]}" -interlace PNG
# The chunks ImageMagick adds (gamma, chromaticities, background), less the time of writing.
convert rose: -resize '7x5!' -depth 8 -define png:color-type=2 \
    -define png:exclude-chunks=date,time corpus/png/rgb8_gama_chrm_bkgd_7x5.png
half corpus/png/rgb8_33x17.png corpus/png/truncated_rgb8_33x17.png
half corpus/png/rgb8_interlaced_33x17.png corpus/png/truncated_interlaced_33x17.png
head -c -12 corpus/png/rgb8_16x16.png >corpus/png/no_end_chunk_16x16.png
# A header claiming another size, with its checksum made to match: gzip's trailer holds the
# same CRC-32, little-endian.
png_claim() {  # source, width, height, output
    local crc
    cp "$1" "$4"
    patch "$4" 16 "$(be32 "$2")$(be32 "$3")"
    crc=$(head -c 29 "$4" | tail -c 17 | gzip -c | tail -c 8 | head -c 4 | od -An -tx1 | tr -d ' \n')
    patch "$4" 29 "\\x${crc:6:2}\\x${crc:4:2}\\x${crc:2:2}\\x${crc:0:2}"
}
png_claim corpus/png/rgb8_16x16.png 60000 60000 corpus/png/claims_60000x60000.png
png_claim corpus/png/grey1_16x16.png 70000000 1 corpus/png/claims_70000000x1.png

# --- Settings: what the program writes, and what editors and other programs make of it --
written='[General]
Divisor=1.000000
Gamma=2.200000
presetGammaCurve=0
jpeg_quality=96
combine_mode=0
low_pass_threshold=0
high_pass_threshold=255
launch_after_processing=1
autosuggest_output_name=1
useNoiseReduction=0
darkFrameFile=
darkFrameOpacity=1.000000
'
printf '%s' "$written" >corpus/settings/written.ini
printf '%s' "$written" | sed 's/$/\r/' >corpus/settings/crlf.ini
printf '\xef\xbb\xbf%s' "$written" >corpus/settings/bom.ini
printf '%s' "$written" | sed 's/^Gamma=.*/Gamma=/; s/^jpeg_quality=.*/jpeg_quality=80.9/; s/^darkFrameFile=.*/darkFrameFile=\/home\/me\/dark frame.jpg/' \
    >corpus/settings/edited.ini
printf '; comment\n[Other]\nGamma=9\n[general]\n  Divisor = 2.5 \ncombine_mode=$$$$\nlaunch_after_processing=0.99\nautosuggest_output_name=-1.7e3\nuseNoiseReduction=+12abc\n[General]\nGamma=nan\ndarkFrameOpacity=1e400\n' \
    >corpus/settings/odd.ini
printf 'jpeg_quality=99999999999999\nlow_pass_threshold=-2147483649\n[General\nhigh_pass_threshold= 7\n' \
    >corpus/settings/headerless.ini
: >corpus/settings/empty.ini

# --- File names: format selection and the name operations ---------------------------------
i=0
for name in out.jpg IMG_0001.JPG frame.TiF dark.bmp picture.png notes.txt README \
    .jpg a.b/c /home/me/night/IMG_0042.JPG 'C:\photos\a.jpg' archive.tar.gz name. \
    ./x.Bmp 'dir.jpg/file' ../up/..; do
    printf '%s' "$name" >"corpus/filenames/name$((i++))"
done

du -sh corpus
find corpus -type f | wc -l
