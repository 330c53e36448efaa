// A small applet for runtime tests: process() runs whatever handler the test gives.
#pragma once

#include <functional>
#include <utility>

#include "jc/APDU.h"
#include "jc/IApplet.h"
#include "jc/IJCRuntime.h"
#include "jc/PersistentObject.h"

namespace quillon::test {

class ScriptedApplet final : public IApplet {
 public:
  using Handler = std::function<void(APDU&)>;

  ScriptedApplet(IJCRuntime& runtime, Handler handler, int* destroyed = nullptr)
      : runtime_(runtime), handler_(std::move(handler)), destroyed_(destroyed) {}
  ~ScriptedApplet() override {
    if (destroyed_) ++*destroyed_;
    runtime_.setApplet(nullptr);  // as a real applet does when it goes
  }

  void process(APDU& apdu) override { handler_(apdu); }
  void serialize(IArchive&) override {}

  // Places an applet in the runtime's persistent memory and makes it current.
  static ScriptedApplet* install(IJCRuntime& runtime, Handler handler, int* destroyed = nullptr) {
    auto* applet = makePersistent<ScriptedApplet>(runtime, JC_HERE("ScriptedApplet::install"), runtime,
                                                  std::move(handler), destroyed);
    runtime.setApplet(applet);
    return applet;
  }

 private:
  IJCRuntime& runtime_;
  Handler handler_;
  int* destroyed_;
};

}  // namespace quillon::test
