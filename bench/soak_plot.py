#!/usr/bin/env python3
"""soak_plot.py OUT.svg NAME=SAMPLES... - plots soak runs over time (the relay's memory, threads,
descriptors, and the chatters' p99 latency each second) from the samples files that
`bench/run.sh --soak` writes, one line per run in each panel."""
import os
import subprocess
import sys
import tempfile

out, runs = sys.argv[1], [a.split("=", 1) for a in sys.argv[2:]]
longest = 0.0
for _, path in runs:
    for line in open(path):
        if not line.startswith("#") and line.strip():
            longest = max(longest, float(line.split()[0]) / 60)


def series(col, scale=1.0, title_of=lambda name: name, skip_zero=False, paths=runs):
    parts = []
    for name, path in paths:
        cond = f"(${col} > 0 ? ${col} * {scale} : NaN)" if skip_zero else f"(${col} * {scale})"
        parts.append(f"'{path}' using ($1 / 60):{cond} with lines lw 1.5 title '{title_of(name)}'")
    return ", \\\n     ".join(parts)


wine = [(n, p) for n, p in runs if "wine" in n.lower()]
fd_plot = series(4, title_of=lambda n: f"{n}: relay")
if wine:
    fd_plot += ", \\\n     " + series(5, title_of=lambda n: f"{n}: its wineserver", paths=wine)
terminal = "pngcairo size 900,1000 font 'sans,10'" if out.endswith(".png") else "svg size 900,1000 font 'sans,11'"
script = f"""
set terminal {terminal} noenhanced
set output '{out}'
set multiplot layout 4,1 title 'Soak: chat, churn, a stalled and a silent client each minute, a crowd every 5 minutes'
set xrange [0:{max(longest, 1):.2f}]
set grid
set key top right opaque box
set lmargin 12
set ylabel 'resident memory (MiB)'
set logscale y
plot {series(2, 1 / 1024)}
set ylabel 'threads'
unset logscale y
plot {series(3)}
set ylabel 'descriptors'
plot {fd_plot}
set ylabel 'chatters p99 (ms)'
set logscale y
set xlabel 'minutes'
plot {series(9, 1 / 1000, skip_zero=True)}
unset multiplot
"""
subprocess.run(["gnuplot"], input=script.encode(), check=True)
