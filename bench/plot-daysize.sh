#!/usr/bin/env bash
# The export of one whole day against the day's size: dotz-export's time beside
# curl's, and dotz-export's peak memory beside the reply's size, drawn from
# bench/daysize.dat into bench/daysize.png. Given the outputs of
# bench/cli/daysize.sh (one run a day size), it first rewrites daysize.dat from
# their "plot:" lines:
#   for d in day100k day day10m day15m; do bench/cli/daysize.sh build $d.db 5 /var/tmp | tee $d.out; done
#   bench/plot-daysize.sh day100k.out day.out day10m.out day15m.out
# Needs gnuplot, which CI does not: apt-get install gnuplot-nox
# Usage: bench/plot-daysize.sh [DAYSIZE_OUTPUT...]
set -euo pipefail
cd "$(dirname "$0")"
data=daysize.dat
if [ $# -gt 0 ]; then
  for out in "$@"; do
    grep -q '^plot: ' "$out" || { echo "plot-daysize: no 'plot:' line in $out" >&2; exit 1; }
  done
  {
    sed -n '1,2p' "$data"
    echo "# From: $*"
    grep -h '^plot: ' "$@" | cut -d' ' -f2- | sort -n
  } >"$data.new"
  mv "$data.new" "$data"
fi
runs=$(awk '!/^#/ { print $6 ", " $7 }' "$data" | sort -u | paste -sd ';' | sed 's/;/; /g')
gnuplot <<EOF
set terminal pngcairo size 1100,460 font 'DejaVu Sans,10'
set output 'daysize.png'
set multiplot layout 1,2 title "One day exported whole, against the day's size (medians; $runs)"
set logscale xy
set xrange [70000:22000000]
set xtics ("100 k" 1e5, "1 M" 1e6, "10 M" 1e7, "\n15 M" 1.5e7)
set xlabel 'sales with a DOTZ customer in the day'
set grid
set key top left
set ylabel 'seconds'
plot '$data' using 1:4 with linespoints lw 2 pt 7 title 'dotz-export', \
     '' using 1:3 with linespoints lw 2 pt 5 dt 2 title 'curl, the reply into /dev/null', \
     '' using 1:4:(sprintf('%.2f', \$4)) with labels offset 0,1 notitle
set ylabel 'MB'
set yrange [10:10000]
plot '$data' using 1:5 with linespoints lw 2 pt 7 title 'dotz-export, peak memory', \
     '' using 1:(\$2 / 1e6) with linespoints lw 2 pt 5 dt 2 title 'the reply', \
     '' using 1:5:(sprintf('%d', \$5)) with labels offset 0,-1 notitle
unset multiplot
EOF
echo "drawn: $PWD/daysize.png"
