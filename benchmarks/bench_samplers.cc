// Per-draw cost of each regime of pg_sample and of its building blocks.
//
// Every benchmark fills the same array of kBatch doubles per iteration from
// one generator, so that the figures compare like with like: the floor is
// the bare generator filling that array (next_u64, uniform), then the
// elementary variates (normal, exponential, gamma), then pg_sample at one
// (h, z) per regime. Items processed = draws, so Google Benchmark reports
// items/s; benchmarks/report.py turns the JSON into ns per draw and ratios.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "polya_gamma/pg_sample.h"
#include "random/gamma.h"
#include "random/generator.h"
#include "random/ziggurat.h"

#ifdef VEXOL_BENCH_CHUNK_RUNNER
#include "ffi/chunk_runner.h"
#endif

namespace {

using vexol::GeneratorState;

constexpr int64_t kBatch = 4096;
constexpr uint64_t kSeed = 20240607;

// Tilts spread over [0, 4], drawn once from a generator of their own.
const std::vector<double>& varying_tilts() {
  static const std::vector<double> z = [] {
    std::vector<double> v(kBatch);
    GeneratorState g = vexol::seed_generator(12345);
    for (auto& x : v) x = 4.0 * vexol::uniform(g);
    return v;
  }();
  return z;
}

void finish(benchmark::State& state) {
  state.SetItemsProcessed(state.iterations() * kBatch);
}

void BM_next_u64(benchmark::State& state) {
  std::vector<uint64_t> out(kBatch);
  GeneratorState g = vexol::seed_generator(kSeed);
  for (auto _ : state) {
    for (int64_t i = 0; i < kBatch; ++i) out[i] = vexol::next_u64(g);
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  finish(state);
}

template <double (*Draw)(GeneratorState&)>
void BM_variate(benchmark::State& state) {
  std::vector<double> out(kBatch);
  GeneratorState g = vexol::seed_generator(kSeed);
  for (auto _ : state) {
    for (int64_t i = 0; i < kBatch; ++i) out[i] = Draw(g);
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  finish(state);
}

double gamma_shape_1(GeneratorState& g) { return vexol::gamma(1.0, g); }
double gamma_shape_half(GeneratorState& g) { return vexol::gamma(0.5, g); }

// pg_sample over the array at one shape, with the tilt z everywhere or,
// with `varying`, the spread tilts above.
void BM_pg(benchmark::State& state, double h, double z, bool varying) {
  std::vector<double> out(kBatch);
  std::vector<double> zs(kBatch, z);
  if (varying) zs = varying_tilts();
  std::vector<double> hs(kBatch, h);
  GeneratorState g = vexol::seed_generator(kSeed);
  for (auto _ : state) {
    for (int64_t i = 0; i < kBatch; ++i) out[i] = vexol::pg_sample(hs[i], zs[i], g);
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  finish(state);
}

// What a user writes without a dedicated sampler: the series truncated at
// 200 gamma variates, here with this library's own gamma sampler so that
// the comparison is of methods, not of languages.
void BM_series200(benchmark::State& state, double h, double z) {
  std::vector<double> out(kBatch / 16);
  GeneratorState g = vexol::seed_generator(kSeed);
  constexpr double kInv2PiSquared = 0.05066059182116889;
  constexpr double kTwoPi = 6.283185307179586;
  const double w2 = (z / kTwoPi) * (z / kTwoPi);
  double inv_d[200];
  for (int k = 0; k < 200; ++k) {
    const double kk = k + 0.5;
    inv_d[k] = 1.0 / (kk * kk + w2);
  }
  for (auto _ : state) {
    for (auto& x : out) {
      double s = 0.0;
      for (int k = 0; k < 200; ++k) s += vexol::gamma(h, g) * inv_d[k];
      x = s * kInv2PiSquared;
    }
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(out.size()));
}

// The per-element set-up of the exact PG(1, z) sampler alone (the
// probability of the right piece), over the spread tilts: the part of an
// h = 1 draw that no rejection loop can amortise.
void BM_devroye_setup(benchmark::State& state) {
  std::vector<double> out(kBatch);
  const std::vector<double>& zs = varying_tilts();
  for (auto _ : state) {
    for (int64_t i = 0; i < kBatch; ++i) out[i] = vexol::devroye_right_probability(zs[i]);
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  finish(state);
}

#ifdef VEXOL_BENCH_CHUNK_RUNNER
// The path the custom call takes: sample_chunk (clamp included) at h = 1.
void BM_chunk_h1_varying(benchmark::State& state) {
  std::vector<double> out(kBatch);
  std::vector<double> hs(kBatch, 1.0);
  const std::vector<double>& zs = varying_tilts();
  uint64_t seed = kSeed;
  for (auto _ : state) {
    vexol::sample_chunk(hs.data(), zs.data(), kBatch, seed++, out.data());
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  finish(state);
}
BENCHMARK(BM_chunk_h1_varying)->Name("chunk/h=1,z~U[0,4]");
#endif

}  // namespace

BENCHMARK(BM_next_u64)->Name("floor/next_u64");
BENCHMARK(BM_variate<vexol::uniform>)->Name("floor/uniform");
BENCHMARK(BM_variate<vexol::normal>)->Name("block/normal");
BENCHMARK(BM_variate<vexol::exponential>)->Name("block/exponential");
BENCHMARK(BM_variate<gamma_shape_1>)->Name("block/gamma(1)");
BENCHMARK(BM_variate<gamma_shape_half>)->Name("block/gamma(0.5)");
BENCHMARK(BM_devroye_setup)->Name("block/devroye set-up,z~U[0,4]");
BENCHMARK_CAPTURE(BM_pg, h1_zvar, 1.0, 0.0, true)->Name("pg/h=1,z~U[0,4]");
BENCHMARK_CAPTURE(BM_pg, h1_z0, 1.0, 0.0, false)->Name("pg/h=1,z=0");
BENCHMARK_CAPTURE(BM_pg, h3, 3.0, 0.5, false)->Name("pg/h=3,z=0.5 (sum)");
BENCHMARK_CAPTURE(BM_pg, h2_5, 2.5, 1.0, false)->Name("pg/h=2.5,z=1 (alternate)");
BENCHMARK_CAPTURE(BM_pg, h6, 6.0, 1.0, false)->Name("pg/h=6,z=1 (pieces)");
BENCHMARK_CAPTURE(BM_pg, h20, 20.0, 1.0, false)->Name("pg/h=20,z=1 (saddle point)");
BENCHMARK_CAPTURE(BM_pg, h0_5, 0.5, 1.0, false)->Name("pg/h=0.5,z=1 (gamma series)");
BENCHMARK_CAPTURE(BM_pg, h100, 100.0, 1.0, false)->Name("pg/h=100,z=1 (normal)");
BENCHMARK_CAPTURE(BM_series200, h2_5, 2.5, 1.0)->Name("series200/h=2.5,z=1");
BENCHMARK_CAPTURE(BM_series200, h20, 20.0, 1.0)->Name("series200/h=20,z=1");

BENCHMARK_MAIN();
