#!/usr/bin/env bash
# Plots the scale curve that bench/run.sh writes: rows stored per CPU-second of the server over the
# datagram size, one line per server and rate.
#
#   bash bench/plot-scale.sh SCALE_DAT OUTPUT_PNG
set -euo pipefail
data=$1
output=$2
# One block per server and rate, sizes ascending: gnuplot joins the points of a block into a line
# (a point left undefined inside one data set would break the line instead).
blocks=$(mktemp)
trap 'rm -f "$blocks"' EXIT
awk '!/^#/ && NF { print $1, $3, $2, $8 }' "$data" | sort -k1,1 -k2,2n -k3,3n |
  awk '{ key = $1 " at " $2 "/s"; if (key != last) { if (NR > 1) printf "\n\n"; print "# " key; last = key }
         print $3, $4 }' >"$blocks"
titles=$(grep '^# ' "$blocks" | sed 's/^# //; s/^daemon /tevrik /' | awk '{ printf "%s\"%s\"", (NR > 1 ? ", " : ""), $0 }')
count=$(grep -c '^# ' "$blocks")
gnuplot <<EOF2
set terminal pngcairo size 900,560 font ",10"
set output "$output"
set title "Rows stored per CPU-second of the server"
set logscale x
set logscale y
set xlabel "datagram size (bytes)"
set ylabel "rows per CPU-second"
set xtics (50, 100, 1000, 10000, 60000)
set grid
set key outside right
array titles[$count] = [$titles]
plot for [i = 1:$count] "$blocks" index (i - 1) using 1:2 with linespoints title titles[i]
EOF2
