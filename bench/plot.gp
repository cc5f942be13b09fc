# quadforge's frame rate and rebuild latency against window and shader size; bench.py runs it.
set terminal pngcairo size 1100,450 font "sans,10"
set multiplot layout 1,2 title "quadforge on llvmpipe: cost against the work's size"
set logscale y
set ytics nomirror
set y2tics nomirror
set logscale y2
set ylabel "frame rate (FPS)"
set y2label "rebuild, key to new pixels (ms)"
set key top center
set grid

set title "window size (frame rate: shipped pair; rebuilds: solid-colour pair)"
set xlabel "pixels (millions)"
plot data."/scaling_window.dat" using ($1/1e6):2 with linespoints lw 2 pt 7 title "frame rate", \
     "" using ($1/1e6):3 axes x1y2 with linespoints lw 2 pt 5 title "rebuild latency"

set title "generated fragment shader, 800x600"
set xlabel "lines of fragment shader"
set logscale x
plot data."/scaling_shader.dat" using 1:2 with linespoints lw 2 pt 7 title "frame rate", \
     "" using 1:3 axes x1y2 with linespoints lw 2 pt 5 title "rebuild latency"
unset multiplot
