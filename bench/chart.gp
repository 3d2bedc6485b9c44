# Bar chart of the benchmark's time ratios per class of files (below 1: pngtrans is faster).
# gnuplot -e "datafile='build/bench/ratios.dat'; output='docs/bench.png'" bench/chart.gp
set terminal pngcairo size 960,480 font "sans,10"
set output output
set title "pngtrans time relative to the other decoders and encoders (one run, medians)"
set style data histograms
set style histogram clustered gap 1
set style fill solid 0.85 border -1
set boxwidth 0.9
set yrange [0:*]
set ylabel "time ratio, ours / other"
set grid ytics
set key outside bottom center horizontal
set arrow from graph 0, first 1 to graph 1, first 1 nohead dashtype 2 lw 1.5
plot datafile using 2:xtic(1) title "import / libpng", \
     '' using 3 title "import / libspng", \
     '' using 4 title "import / inflate floor", \
     '' using 5 title "export / libpng"
