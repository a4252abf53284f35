#!/usr/bin/env bash
# One PNG per wizard page of dravik-vhd on the demo image, at 100 %, 150 %
# and 200 % scale on a laptop screen of 1366x768, under Xvfb when it is
# there (else on the offscreen platform, with a screen of that size). Lines
# starting "  does not fit" or "  cut or off the screen" name what a person
# could not reach.
#
#   tools/screenshots/screenshots.sh [BUILD_DIR] [IMAGE]
#
# Writes BUILD_DIR/screenshots/scale-1, scale-1.5 and scale-2 (BUILD_DIR
# defaults to build/). Build first (./test builds dravik_gui_screens).
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
BUILD=$(cd "${1:-$ROOT/build}" && pwd)
IMAGE=${2:-$ROOT/samples/demo.vhdx}
SCREENS=$BUILD/tools/screenshots/dravik_gui_screens
[ -x "$SCREENS" ] || { echo "screenshots: build $SCREENS first" >&2; exit 1; }

# Sample files for the preview pane, made by the tools the tests use.
SAMPLES=$BUILD/screenshots/preview-samples
rm -rf "$SAMPLES" && mkdir -p "$SAMPLES/in"
(
  set -e
  cd "$SAMPLES"
  font=/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf
  convert -size 320x200 plasma:fractal -blur 0x2 1-picture.png
  convert -size 420x300 xc:white -font "$font" -fill black -pointsize 22 -annotate +30+50 'Quarterly report' \
    -pointsize 14 -annotate +30+90 'Sales rose in every region.' -type TrueColor -depth 8 -compress lzw page.tif
  tiff2pdf -o 2-document.pdf page.tif && rm page.tif
  seq 1 40 | sed 's/^/Line /' > in/notes.txt && convert -size 64x64 xc:blue in/blue.png && printf 'a,b\n1,2\n' > in/table.csv
  (cd in && zip -q ../3-archive.zip notes.txt blue.png table.csv) && rm -r in
  printf 'Shopping list\n- bread\n- milk\n' > 4-notes.txt
  sox -n -r 8000 9-tone.wav synth 3 sine 440
  convert -size 200x120 gradient:orange-purple 5-layered.psd
  printf 'Region,Q1,Q2,Q3\nNorth,120,135,150\nSouth,98,101,117\nEast,143,139,160\n' > sales.csv
  timeout 120 soffice --headless --norestore "-env:UserInstallation=file://$SAMPLES/profile" --convert-to xlsx sales.csv \
    >/dev/null 2>&1 && mv sales.xlsx 8-sales.xlsx && rm -rf sales.csv profile
  printf '<html><body><h2>Trip notes</h2><p>Day <b>one</b>: the <i>old town</i>.</p><ul><li>Museum</li><li>Market</li></ul>'\
'<img src="http://example.com/photo.jpg"></body></html>' > 9-trip.html
  printf '# Letter\n\nDear **Ada**,\n\nthank you for the *caf\xc3\xa9* recipe.\n' | pandoc -s -f markdown -o 9-letter.rtf
  /usr/bin/python3 - <<'PY'
import dbf, datetime, ezdxf
table = dbf.Table('6-customers.dbf', 'name C(20); city C(16); since D; active L; balance N(9,2)', dbf_type='db3')
table.open(dbf.READ_WRITE)
for row in [('Ada Byron', 'London', datetime.date(2019, 5, 1), True, 120.5),
            ('Blaise Pascal', 'Clermont', datetime.date(2021, 2, 14), False, 0),
            ('Carl Gauss', 'Brunswick', datetime.date(2020, 11, 30), True, 987.25)]:
    table.append(row)
table.close()
doc = ezdxf.new('R2010')
msp = doc.modelspace()
msp.add_lwpolyline([(0, 0), (100, 0), (100, 60), (0, 60)], close=True)
msp.add_circle((30, 30), 18)
msp.add_arc((70, 30), 18, 0, 180)
msp.add_line((0, 0), (100, 60))
msp.add_text('Floor plan', dxfattribs={'height': 6}).set_placement((5, 65))
doc.saveas('7-plan.dxf')
PY
) || { echo "screenshots: could not make the preview samples" >&2; exit 1; }
SCREEN_CONFIG=$BUILD/screenshots/laptop-screen.json
echo '{"screens": [{"name": "laptop", "x": 0, "y": 0, "width": 1366, "height": 768}]}' > "$SCREEN_CONFIG"
for scale in 1 1.5 2; do
  out=$BUILD/screenshots/scale-$scale
  rm -rf "$out"
  if command -v xvfb-run >/dev/null; then
    QT_SCALE_FACTOR=$scale xvfb-run -a -s "-screen 0 1366x768x24" "$SCREENS" "$IMAGE" "$out" "$SAMPLES"
  else
    QT_SCALE_FACTOR=$scale QT_QPA_PLATFORM="offscreen:configfile=$SCREEN_CONFIG" "$SCREENS" "$IMAGE" "$out" "$SAMPLES"
  fi
done
