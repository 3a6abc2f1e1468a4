// vexol_reference_draws MODE SEED
//
// Reads n (int64) and then n doubles of h and n doubles of z from stdin,
// all in native byte order, and writes the n stored draws to stdout:
//   MODE "range": sample_range(h, z, n, SEED, out), the whole range rule;
//   MODE "chunk": sample_chunk(h, z, n, SEED, out), one chunk, unmixed seed.
// SEED is a decimal unsigned 64-bit value.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "ffi/chunk_runner.h"

namespace {

bool read_exact(void* data, size_t bytes) { return std::fread(data, 1, bytes, stdin) == bytes; }

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 || (std::strcmp(argv[1], "range") != 0 && std::strcmp(argv[1], "chunk") != 0)) {
    std::fprintf(stderr, "usage: %s range|chunk SEED < input\n", argv[0]);
    return 2;
  }
  const uint64_t seed = std::strtoull(argv[2], nullptr, 10);
  int64_t n = 0;
  if (!read_exact(&n, sizeof n) || n < 0) {
    std::fprintf(stderr, "bad element count\n");
    return 2;
  }
  std::vector<double> h(n), z(n), out(n);
  if (!read_exact(h.data(), n * sizeof(double)) || !read_exact(z.data(), n * sizeof(double))) {
    std::fprintf(stderr, "short input\n");
    return 2;
  }
  if (std::strcmp(argv[1], "chunk") == 0) {
    vexol::sample_chunk(h.data(), z.data(), n, seed, out.data());
  } else {
    vexol::sample_range(h.data(), z.data(), n, seed, out.data());
  }
  return std::fwrite(out.data(), sizeof(double), n, stdout) == static_cast<size_t>(n) ? 0 : 1;
}
