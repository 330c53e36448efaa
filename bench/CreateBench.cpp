// Card creation into a tmpfs directory against one save of the same state in the
// same run; the creation's phases are timed alone beside it (the serialisation,
// compression and write phases are the BM_PersistPart* benchmarks).
#include <benchmark/benchmark.h>

#include <filesystem>

#include "container/ContainerCrypto.h"
#include "container/DeviceKey.h"
#include "container/FilePersist.h"
#include "gids/GidsApplet.h"
#include "personalise/CreateSecureContainer.h"
#include "personalise/ScriptExecutor.h"
#include "runtime/JCRuntimeImpl.h"

namespace {

using namespace quillon;
namespace fs = std::filesystem;

const DeviceIdentity kIdentity{"ACME", "STICK", "1.00", "SN0001"};
constexpr std::uint8_t kAdminKey[24] = {1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12,
                                        13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24};
constexpr const char* kSerial = "00112233445566778899AABBCCDDEEFF";

fs::path benchDirectory() {
  const fs::path base = fs::exists("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
  const fs::path dir = base / "quillon-create-bench";
  fs::create_directories(dir);
  return dir;
}

void BM_CreateSecureContainer(benchmark::State& state) {
  const fs::path dir = benchDirectory();
  for (auto _ : state)
    if (CreateSecureContainer("1234", kAdminKey, kSerial, dir.string(), &kIdentity) != 0) state.SkipWithError("failed");
  fs::remove_all(dir);
}
BENCHMARK(BM_CreateSecureContainer)->Unit(benchmark::kMicrosecond);

// One save of the personalised state: a new provider each time, so it always writes.
void BM_CreateSecureContainer_Baseline(benchmark::State& state) {
  const fs::path dir = benchDirectory();
  JCRuntimeImpl runtime;
  GidsApplet::install(runtime);
  for (const ScriptCommand& c : personalisationScript("1234", kAdminKey, kSerial)) execute(runtime, c.c_str());
  for (auto _ : state) {
    FilePersist persist(kIdentity, dir.string());
    if (persist.save(runtime) != 0) state.SkipWithError("save failed");
  }
  fs::remove_all(dir);
}
BENCHMARK(BM_CreateSecureContainer_Baseline)->Unit(benchmark::kMicrosecond);

// Phase: a runtime, the applet and the 25 commands.
void BM_CreatePartScript(benchmark::State& state) {
  const auto script = personalisationScript("1234", kAdminKey, kSerial);
  for (auto _ : state) {
    JCRuntimeImpl runtime;
    GidsApplet::install(runtime);
    for (const ScriptCommand& c : script) benchmark::DoNotOptimize(execute(runtime, c.c_str()));
  }
}
BENCHMARK(BM_CreatePartScript)->Unit(benchmark::kMicrosecond);

// Phase: the key derivation and AES-256-GCM of a payload of the container's size.
void BM_CreatePartEncrypt(benchmark::State& state) {
  const std::vector<std::uint8_t> payload(900, 0x5A);
  for (auto _ : state) {
    std::uint8_t key[32];
    container::DeriveDeviceKey(kIdentity, key);
    std::vector<std::uint8_t> sealed;
    benchmark::DoNotOptimize(container::AesGcmEncrypt(key, payload.data(), payload.size(), sealed));
  }
}
BENCHMARK(BM_CreatePartEncrypt)->Unit(benchmark::kMicrosecond);

}  // namespace
