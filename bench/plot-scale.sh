#!/usr/bin/env bash
# Plots the scale curve that bench/run.sh writes: rows stored per CPU-second of the server over the
# datagram size, one line per server and rate.
#
#   bash bench/plot-scale.sh SCALE_DAT OUTPUT_PNG
set -euo pipefail
data=$1
output=$2
servers=$(awk '!/^#/ { print $1 }' "$data" | sort -u | tr '\n' ' ')
rates=$(awk '!/^#/ { print $3 }' "$data" | sort -nu | tr '\n' ' ')
gnuplot <<EOF
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
servers = "$servers"
rates = "$rates"
plot for [s in servers] for [r in rates] "$data" \
  using 2:((strcol(1) eq s && \$3 == real(r)) ? \$8 : 1/0) with linespoints title sprintf("%s at %s/s", s, r)
EOF
