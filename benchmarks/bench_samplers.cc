// Per-draw cost of each regime of pg_sample and of its building blocks.
//
// Every benchmark fills the same array of kBatch doubles per iteration from
// one generator, so that the figures compare like with like: the floor is
// the bare generator filling that array (next_u64, uniform), then the
// elementary variates (normal, exponential, gamma), then the draws at one
// (h, z) per regime, in blocks of PG_BLOCK_SIZE as the chunk runner takes
// them. Each regime is followed by its libm floor: the libm calls that the
// same draws make (recorded with their arguments by libm_census.cc), issued
// again as independent calls, per draw-equivalent. Items processed = draws,
// so Google Benchmark reports items/s; benchmarks/report.py turns the JSON
// into ns per draw and ratios.
#include <benchmark/benchmark.h>
#include <math.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "libm_census.h"
#include "polya_gamma/pg_block.h"
#include "polya_gamma/pg_methods.h"
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

void finish(benchmark::State& state) { state.SetItemsProcessed(state.iterations() * kBatch); }

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

struct Regime {
  const char* name;
  double h;
  double z;
  bool varying;  // z from varying_tilts() instead of z everywhere
};

const Regime kRegimes[] = {
    {"h=1,z~U[0,4]", 1.0, 0.0, true},
    {"h=1,z=0", 1.0, 0.0, false},
    {"h=3,z=0.5 (sum)", 3.0, 0.5, false},
    {"h=2.5,z=1 (alternate)", 2.5, 1.0, false},
    {"h=6,z=1 (pieces)", 6.0, 1.0, false},
    {"h=20,z=1 (saddle point)", 20.0, 1.0, false},
    {"h=0.5,z=1 (gamma series)", 0.5, 1.0, false},
    {"h=100,z=1 (normal)", 100.0, 1.0, false},
};

std::vector<double> shapes_of(const Regime& r) { return std::vector<double>(kBatch, r.h); }
std::vector<double> tilts_of(const Regime& r) {
  return r.varying ? varying_tilts() : std::vector<double>(kBatch, r.z);
}

// The draws of one regime over the array, a block at a time.
void BM_pg(benchmark::State& state, Regime r) {
  std::vector<double> out(kBatch);
  const std::vector<double> hs = shapes_of(r), zs = tilts_of(r);
  GeneratorState g = vexol::seed_generator(kSeed);
  for (auto _ : state) {
    for (int64_t i = 0; i < kBatch; i += vexol::PG_BLOCK_SIZE) {
      const int count = static_cast<int>(std::min<int64_t>(vexol::PG_BLOCK_SIZE, kBatch - i));
      vexol::pg_sample_block(hs.data() + i, zs.data() + i, count, g, out.data() + i);
    }
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  finish(state);
}

// The same draws one pg_sample at a time, set-up and draw interleaved.
void BM_pg_per_element(benchmark::State& state, Regime r) {
  std::vector<double> out(kBatch);
  const std::vector<double> hs = shapes_of(r), zs = tilts_of(r);
  GeneratorState g = vexol::seed_generator(kSeed);
  for (auto _ : state) {
    for (int64_t i = 0; i < kBatch; ++i) out[i] = vexol::pg_sample(hs[i], zs[i], g);
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  finish(state);
}

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// The libm floor of a regime: every libm call of its first kBatch draws
// (the draws of the first iteration of BM_pg), with the recorded arguments,
// issued again as independent calls, grouped by function. Each result is
// stored and none feeds another call, so the core can overlap them all; the
// time per iteration over kBatch is the cost of the calls alone per draw.
void BM_libm_floor(benchmark::State& state, Regime r) {
  using vexol_bench::kLibmFunctionCount;
  using vexol_bench::LibmFunction;
  const std::vector<double> hs = shapes_of(r), zs = tilts_of(r);
  const vexol_bench::LibmCalls calls =
      vexol_bench::record_libm_calls(hs.data(), zs.data(), kBatch, kSeed);
  // The recording must have made the very draws that the benchmark times.
  std::vector<double> real(kBatch);
  GeneratorState g = vexol::seed_generator(kSeed);
  for (int64_t i = 0; i < kBatch; ++i) real[i] = vexol::pg_sample(hs[i], zs[i], g);
  for (int64_t i = 0; i < kBatch; ++i) {
    if (!same_bits(real[i], calls.draws[i])) {
      state.SkipWithError("the recorded draws differ from the benchmarked ones");
      return;
    }
  }

  size_t most = 1;
  for (const auto& a : calls.first) most = std::max(most, a.size());
  std::vector<double> out(most);
  for (auto _ : state) {
    for (int f = 0; f < kLibmFunctionCount; ++f) {
      const std::vector<double>& x = calls.first[f];
      const size_t n = x.size();
      switch (static_cast<LibmFunction>(f)) {
        case LibmFunction::kExp:
          for (size_t j = 0; j < n; ++j) out[j] = ::exp(x[j]);
          break;
        case LibmFunction::kLog:
          for (size_t j = 0; j < n; ++j) out[j] = ::log(x[j]);
          break;
        case LibmFunction::kLog1p:
          for (size_t j = 0; j < n; ++j) out[j] = ::log1p(x[j]);
          break;
        case LibmFunction::kPow: {
          const std::vector<double>& y = calls.second[f];
          for (size_t j = 0; j < n; ++j) out[j] = ::pow(x[j], y[j]);
          break;
        }
        case LibmFunction::kTan:
          for (size_t j = 0; j < n; ++j) out[j] = ::tan(x[j]);
          break;
        case LibmFunction::kTanh:
          for (size_t j = 0; j < n; ++j) out[j] = ::tanh(x[j]);
          break;
        case LibmFunction::kCos:
          for (size_t j = 0; j < n; ++j) out[j] = ::cos(x[j]);
          break;
        case LibmFunction::kCosh:
          for (size_t j = 0; j < n; ++j) out[j] = ::cosh(x[j]);
          break;
        case LibmFunction::kSinh:
          for (size_t j = 0; j < n; ++j) out[j] = ::sinh(x[j]);
          break;
        case LibmFunction::kErfc:
          for (size_t j = 0; j < n; ++j) out[j] = ::erfc(x[j]);
          break;
        case LibmFunction::kLgamma:
          for (size_t j = 0; j < n; ++j) {
            int sign;
            out[j] = ::lgamma_r(x[j], &sign);
          }
          break;
      }
      benchmark::DoNotOptimize(out.data());
      benchmark::ClobberMemory();
    }
  }
  finish(state);
  // The mix, in calls per draw.
  for (int f = 0; f < kLibmFunctionCount; ++f) {
    if (!calls.first[f].empty()) {
      state.counters[vexol_bench::kLibmFunctionNames[f]] =
          static_cast<double>(calls.first[f].size()) / kBatch;
    }
  }
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

// The same set-ups as pg_sample_block computes them: a block of tilts at a
// time, one stage of the computation for all of them before the next.
void BM_devroye_setups_in_blocks(benchmark::State& state) {
  std::vector<vexol::DevroyeSetup> out(kBatch);
  const std::vector<double>& zs = varying_tilts();
  for (auto _ : state) {
    for (int64_t i = 0; i < kBatch; i += vexol::PG_BLOCK_SIZE) {
      vexol::devroye_setups(zs.data() + i, vexol::PG_BLOCK_SIZE, out.data() + i);
    }
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  finish(state);
}

// A method on request at one (h, z): blocks of PG_BLOCK_SIZE draws as the
// chunk runner takes them, 64 draws per iteration (exact draws at large h
// take hundreds of microseconds each).
void BM_method(benchmark::State& state, double h, double z, vexol::PgMethodRequest method) {
  constexpr int kDraws = vexol::PG_BLOCK_SIZE;
  double hs[kDraws], zs[kDraws], out[kDraws];
  std::fill(hs, hs + kDraws, h);
  std::fill(zs, zs + kDraws, z);
  GeneratorState g = vexol::seed_generator(kSeed);
  for (auto _ : state) {
    vexol::pg_sample_block_method(hs, zs, kDraws, method, g, out);
    benchmark::DoNotOptimize(out);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * kDraws);
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
BENCHMARK(BM_devroye_setups_in_blocks)->Name("block/devroye set-ups by block,z~U[0,4]");
BENCHMARK_CAPTURE(BM_series200, h2_5, 2.5, 1.0)->Name("series200/h=2.5,z=1");
BENCHMARK_CAPTURE(BM_series200, h20, 20.0, 1.0)->Name("series200/h=20,z=1");

// Each regime's row is followed at once by its libm floor, so that the two
// run close together and their ratio is least affected by other load.
int main(int argc, char** argv) {
  for (const Regime& r : kRegimes) {
    benchmark::RegisterBenchmark((std::string("pg/") + r.name).c_str(), BM_pg, r);
    benchmark::RegisterBenchmark((std::string("libm floor/") + r.name).c_str(), BM_libm_floor, r);
  }
  benchmark::RegisterBenchmark("element/h=1,z~U[0,4]", BM_pg_per_element, kRegimes[0]);
  // Default, saddle and exact side by side per (h, z).
  const char* method_names[] = {"default", "saddle", "exact"};
  const auto add_method_rows = [&](double h, double z) {
    for (int m = 0; m < 3; ++m) {
      char name[80];
      std::snprintf(name, sizeof name, "method/%s/h=%g,z=%g", method_names[m], h, z);
      benchmark::RegisterBenchmark(name, BM_method, h, z, static_cast<vexol::PgMethodRequest>(m));
    }
  };
  for (double h : {0.3, 20.0, 50.0, 100.0, 1000.0, 1e4, 1e6, 1e9, 1e13, 1e20, 1e100}) {
    for (double z : {0.0, 1.0, 4.0}) add_method_rows(h, z);
  }
  // Beyond the saddle-point envelope's tilt limit.
  for (double h : {20.0, 1e4}) add_method_rows(h, 1e11);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
