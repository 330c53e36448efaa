#include "jc/Exceptions.h"

#include "base/Trace.h"

namespace quillon {

void throwNotFound(const char* file, int line, const char* function) {
  QTRACE_AT(file, line, function, trace::kError, "NotFoundException");
  throw NotFoundException();
}

void throwInvalidArguments(const char* file, int line, const char* function) {
  QTRACE_AT(file, line, function, trace::kError, "InvalidArgumentsException");
  throw InvalidArgumentsException();
}

void throwNotEnoughSpace(const char* file, int line, const char* function) {
  QTRACE_AT(file, line, function, trace::kError, "NotEnoughSpaceException");
  throw NotEnoughSpaceException();
}

void throwSerialization(const char* file, int line, const char* function) {
  QTRACE_AT(file, line, function, trace::kError, "SerializationException");
  throw SerializationException();
}

}  // namespace quillon
