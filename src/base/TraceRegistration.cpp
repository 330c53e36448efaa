// Registration of the provider for the life of a process, and the sessions that
// the environment asks for.
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "base/TraceSinks.h"

namespace quillon::trace {

namespace {
// Handles of environment sessions sit far above those that tests pick.
constexpr LoggerHandle kFirstEnvironmentLogger = 0x51000000;
std::mutex g_registrationMutex;
std::size_t g_environmentSessions = 0;
}  // namespace

void registerProvider() {
  std::lock_guard lock(g_registrationMutex);
  const char* value = std::getenv("QUILLON_TRACE");
  if (value == nullptr || g_environmentSessions != 0) return;
  std::vector<std::string> rejected;
  auto settings = parseSessionSettings(value, rejected);
  for (const auto& item : rejected)
    std::fprintf(stderr, "QUILLON_TRACE: ignoring '%s' (expected LEVEL 0-5, then :stderr, :syslog or :FILE)\n",
                 item.c_str());
  for (auto& setting : settings)
    enableSession(kFirstEnvironmentLogger + g_environmentSessions++, setting.level, std::move(setting.sink));
}

void unregisterProvider() {
  std::lock_guard lock(g_registrationMutex);
  disableAllSessions();
  g_environmentSessions = 0;
}

}  // namespace quillon::trace
