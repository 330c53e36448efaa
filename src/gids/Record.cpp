#include "gids/Record.h"

namespace quillon {

Record::Record(IJCRuntime& rt, std::uint16_t size)
    : runtime(rt), data(size, rt.persistentMemory(), JC_HERE("Record::Record")) {}

}  // namespace quillon
