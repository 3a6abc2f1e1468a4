#include "random/ziggurat.h"

namespace vexol {

ZigguratTables& build_ziggurat_tables(ZigguratTables& tables) {
  double* x = tables.normal_x;
  double f = std::exp(-NORMAL_R_SQUARED_HALF);
  x[0] = NORMAL_V / f;
  x[1] = NORMAL_R;
  x[128] = 0.0;
  for (int k = 1; k <= 126; ++k) {
    x[k + 1] = std::sqrt(std::log(NORMAL_V / x[k] + f) * (-2.0));
    f = std::exp((x[k + 1] * (-0.5)) * x[k + 1]);
  }
  for (int k = 0; k <= 127; ++k) tables.normal_ratio[k] = x[k + 1] / x[k];

  double* X = tables.exp_x;
  f = std::exp(-EXP_R);
  X[0] = EXP_V / f;
  X[1] = EXP_R;
  X[256] = 0.0;
  for (int k = 1; k <= 254; ++k) {
    X[k + 1] = -std::log(EXP_V / X[k] + f);
    f = std::exp(-X[k + 1]);
  }
  for (int k = 0; k <= 255; ++k) tables.exp_ratio[k] = X[k + 1] / X[k];
  return tables;
}

// Dynamic initialisation at load time; nothing writes the tables afterwards.
// A plain object rather than a reference keeps the hot paths one load away.
const ZigguratTables ziggurat_tables = [] {
  ZigguratTables tables{};
  build_ziggurat_tables(tables);
  return tables;
}();

}  // namespace vexol
