#ifndef BENCHBASELINE_H
#define BENCHBASELINE_H

// The benchmark's baseline build stores the old way, for its comparison only: a statement
// prepared for every row, each row committed by itself, SQLite's default journal and the
// kernel's default receive buffer.
#ifdef TEVRIK_BENCH_BASELINE
constexpr bool benchBaseline = true;
#else
constexpr bool benchBaseline = false;
#endif

#endif
