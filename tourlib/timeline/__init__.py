"""Timelines of real runs: what each thread of a lesson did, and when.

record  reads the recorder's raw output into a Timeline (spans and marks per thread)
trace   writes a Timeline as trace-event JSON and reads one back
draw    draws a Timeline as a self-contained SVG, deterministically
summary per-thread text: iterations, time working, time waiting
run     builds a program with the recorder, runs it and writes the three outputs
"""
