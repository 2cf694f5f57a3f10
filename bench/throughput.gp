# Container throughput against payload size, from scripts/bench.sh's run.
# gnuplot -e "data='…'; out='…'" bench/throughput.gp
set terminal pngcairo size 900,520 font "DejaVu Sans,11"
set output out
set title "Full-form container throughput in memory (same run)"
set xlabel "payload size (bytes)"
set ylabel "MiB/s"
set logscale x 2
set format x "%.0b %BB"
set key bottom right
set grid
set yrange [0:*]
plot data using 1:2 with linespoints lw 2 title "StreamEncrypt", \
     data using 1:3 with lines dt 2 lw 2 title "raw EVP Blowfish-CBC encrypt", \
     data using 1:4 with linespoints lw 2 title "StreamDecrypt", \
     data using 1:5 with lines dt 2 lw 2 title "raw EVP Blowfish-CBC decrypt"
