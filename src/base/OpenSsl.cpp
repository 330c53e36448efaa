#include "base/OpenSsl.h"

#include <openssl/err.h>

#include "base/Trace.h"

namespace quillon::ossl {

void traceErrors(const char* function, const char* call, std::uint8_t level) {
  bool any = false;
  while (const unsigned long code = ERR_get_error()) {
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    QTRACE(level, function, "%s failed: %s", call, text);
    any = true;
  }
  if (!any) QTRACE(level, function, "%s failed", call);
}

}  // namespace quillon::ossl
