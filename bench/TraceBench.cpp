// A trace call with no session listening against an empty call that the compiler
// may not inline: the difference is what tracing costs code that is not traced.
#include <benchmark/benchmark.h>

#include "base/Trace.h"

namespace {

__attribute__((noinline)) void emptyCall(int value) { benchmark::DoNotOptimize(value); }

void BM_DisabledTrace(benchmark::State& state) {
  quillon::trace::disableAllSessions();
  int i = 0;
  for (auto _ : state) {
    emptyCall(i);
    QTRACE(quillon::trace::kVerbose, "Bench::trace", "value %d of %s", ++i, "a loop");
  }
}
BENCHMARK(BM_DisabledTrace);

void BM_DisabledTrace_Baseline(benchmark::State& state) {
  int i = 0;
  for (auto _ : state) {
    emptyCall(i);
    ++i;
  }
}
BENCHMARK(BM_DisabledTrace_Baseline);

}  // namespace
