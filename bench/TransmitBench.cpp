// transmit() of a 5-byte command to an applet that does nothing, against calling
// that applet's process() with an APDU prepared once: the difference is what the
// runtime adds per command (APDU object, buffers, exception boundary, response).
#include <benchmark/benchmark.h>

#include <cstdint>

#include "jc/APDU.h"
#include "jc/IApplet.h"
#include "jc/PersistentObject.h"
#include "runtime/JCRuntimeImpl.h"

namespace {

using namespace quillon;

class TrivialApplet final : public IApplet {
 public:
  explicit TrivialApplet(IJCRuntime& runtime) : runtime_(runtime) {}
  ~TrivialApplet() override { runtime_.setApplet(nullptr); }
  void process(APDU& apdu) override { benchmark::DoNotOptimize(apdu.setIncomingAndReceive()); }
  void serialize(IArchive&) override {}

 private:
  IJCRuntime& runtime_;
};

constexpr std::uint8_t kCommand[] = {0x00, 0xCA, 0x01, 0x02, 0x00};

void BM_Transmit(benchmark::State& state) {
  JCRuntimeImpl runtime;
  runtime.setApplet(makePersistent<TrivialApplet>(runtime, JC_HERE("bench"), runtime));
  std::uint8_t response[258];
  for (auto _ : state) {
    std::uint32_t length = sizeof response;
    benchmark::DoNotOptimize(runtime.transmit(kCommand, sizeof kCommand, response, length));
  }
}
BENCHMARK(BM_Transmit);

void BM_Transmit_Baseline(benchmark::State& state) {
  JCRuntimeImpl runtime;
  auto* applet = makePersistent<TrivialApplet>(runtime, JC_HERE("bench"), runtime);
  runtime.setApplet(applet);
  auto* apdu = makePersistent<JCRuntimeImpl::APDUImpl>(runtime, JC_HERE("bench"), runtime.workingMemory());
  apdu->load(kCommand, sizeof kCommand, 0);
  for (auto _ : state) applet->process(*apdu);
  destroyPersistent(runtime, apdu, JC_HERE("bench"));
}
BENCHMARK(BM_Transmit_Baseline);

}  // namespace
