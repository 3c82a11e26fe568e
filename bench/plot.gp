set terminal pngcairo size 900,600
set output out."/time.png"
set title "Wall time of one run against adapter count"
set logscale xy
set xlabel "adapters"
set ylabel "median wall time (ms)"
set key top left
set grid
plot for [i=2:8] out."/time.dat" using 1:i with linespoints title columnheader(i)
