// SPDX-License-Identifier: LGPL-2.1-or-later
// Linked into every benchmark program: records the vector level the pixel
// routines use ("kov_simd" in the output's context), so that the results
// table can say which path each figure measured.
#include <benchmark/benchmark.h>
#include <kovkit/simd.h>

namespace {

const bool recorded = [] {
  benchmark::AddCustomContext("kov_simd", kov_simd_level_name(kov_simd_level()));
  return true;
}();

}  // namespace
