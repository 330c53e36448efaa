#include "runtime/StateDigest.h"

#include <openssl/evp.h>

#include <cstring>

#include "base/OpenSsl.h"
#include "jc/IApplet.h"
#include "jc/IArchive.h"
#include "jc/IJCRuntime.h"

namespace quillon {

namespace {

// A storing archive whose output is a running hash. Every item is framed (a kind
// byte, the name with its NUL, the value) so that no two sequences hash alike.
class DigestArchive final : public IArchive {
 public:
  explicit DigestArchive(IJCRuntime& runtime) : runtime_(runtime), ctx_(EVP_MD_CTX_new()) {
    ok_ = ctx_ && EVP_DigestInit_ex2(ctx_.get(), EVP_sha256(), nullptr) == 1;
  }

  IJCRuntime& getRuntime() override { return runtime_; }
  bool isStoring() const override { return true; }
  void pushElem(const char* name) override { item('<', name, nullptr, 0); }
  void popElem() override { item('>', "", nullptr, 0); }
  void io(const char* name, std::int32_t& value) override { item('i', name, &value, sizeof value); }
  void io(const char* name, std::int16_t& value) override { item('i', name, &value, sizeof value); }
  void io(const char* name, std::int8_t& value) override { item('i', name, &value, sizeof value); }
  void io(const char* name, bool& value) override {
    const std::uint8_t b = value ? 1 : 0;
    item('b', name, &b, 1);
  }
  void io(const char* name, std::uint64_t& value) override { item('u', name, &value, sizeof value); }
  void io(const char* name, std::uint32_t& value) override { item('u', name, &value, sizeof value); }
  void io(const char* name, std::uint16_t& value) override { item('u', name, &value, sizeof value); }
  void io(const char* name, std::uint8_t& value) override { item('u', name, &value, sizeof value); }
  void ioBlob(std::vector<std::uint8_t>& data) override { item('B', "", data.data(), data.size()); }
  void ioRaw(std::uint8_t* data, std::size_t length) override { item('R', "", data, length); }

  StateDigest finish(bool complete) {
    StateDigest digest{};
    if (!complete) item('!', "", nullptr, 0);
    unsigned int size = 0;
    if (!ok_ || EVP_DigestFinal_ex(ctx_.get(), digest.data(), &size) != 1 || size != digest.size()) digest.fill(0xFF);
    return digest;
  }

 private:
  void item(char kind, const char* name, const void* value, std::size_t size) {
    const std::uint64_t length = size;
    ok_ = ok_ && EVP_DigestUpdate(ctx_.get(), &kind, 1) == 1 &&
          EVP_DigestUpdate(ctx_.get(), name, std::strlen(name) + 1) == 1 &&
          EVP_DigestUpdate(ctx_.get(), &length, sizeof length) == 1 &&
          (size == 0 || EVP_DigestUpdate(ctx_.get(), value, size) == 1);
  }

  IJCRuntime& runtime_;
  ossl::MdCtxPtr ctx_;
  bool ok_ = false;
};

}  // namespace

StateDigest digestState(IJCRuntime& runtime) {
  IApplet* applet = runtime.getApplet();
  if (applet == nullptr) return StateDigest{};
  DigestArchive archive(runtime);
  try {
    applet->serialize(archive);
  } catch (...) {
    return archive.finish(false);
  }
  return archive.finish(true);
}

}  // namespace quillon
