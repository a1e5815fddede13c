# The benchmark's chart: distributions of the passive latency and of macro_ms beside their floors.
# bench.py (report.py) writes the points into the directory data and sets, with gnuplot -e:
#   data, out, heading; margin, the goal's distance from the floor; per context delay i (1, 2):
#   delay<i>, floor<i> (macro_ms's floor), low<i> and high<i> (the panel's y range).
# Each data file holds "x value" lines; a box shows the quartiles, the points every sample.

set terminal svg size 1200,520 dynamic noenhanced font "sans,12" background rgb "white"
set output out
set multiplot layout 1,3 title sprintf("%s\nmacro_ms: dashed line, its floor; dotted line, the goal (floor + %.0f ms)", heading, margin)
set style fill solid 0.2 border -1
set style boxplot nooutliers
set boxwidth 0.5
set grid ytics lc rgb "#dddddd"
set key off
set xrange [0.4:2.6]
set ylabel "ms"

# A log scale, so that a rare slow sample does not flatten the rest.
set title "passive capture: game's copy -> line at the host (log scale)"
set logscale y
set xtics ("wine_bridge.exe" 1, "floor probe (listener)" 2)
plot data."/passive_bridge.dat" using (1):2 with boxplot lc rgb "#1f77b4", \
     data."/passive_floor.dat" using (2):2 with boxplot lc rgb "#7f7f7f", \
     data."/passive_bridge.dat" using 1:2 with points pt 7 ps 0.5 lc rgb "#1f77b4", \
     data."/passive_floor.dat" using 1:2 with points pt 7 ps 0.5 lc rgb "#555555"

# One panel per context delay, each scaled to show its floor.
unset logscale y
set xrange [0.4:1.6]
set xtics ("wine_bridge.exe" 1)
do for [i = 1:2] {
    floor = i == 1 ? floor1 : floor2
    set title sprintf("acquisition: macro_ms at context delay %d ms", i == 1 ? delay1 : delay2)
    set yrange [i == 1 ? low1 : low2:i == 1 ? high1 : high2]
    set arrow 1 from 0.5, floor to 1.5, floor nohead dt 2 lw 2 lc rgb "#d62728" front
    set arrow 2 from 0.5, floor + margin to 1.5, floor + margin nohead dt 3 lw 1 lc rgb "#d62728" front
    set label 1 sprintf("floor %.1f", floor) at 0.52, floor left offset 0,-0.7 tc rgb "#d62728" front
    plot sprintf("%s/macro_%d.dat", data, i) using (1):2 with boxplot lc rgb "#1f77b4", \
         sprintf("%s/macro_%d.dat", data, i) using 1:2 with points pt 7 ps 0.5 lc rgb "#1f77b4"
}
unset multiplot
