#include "bitstream/crc.h"

namespace bitstream {

#if defined(__x86_64__) || defined(__i386__)
const bool HAS_CRC_INSTRUCTION = [] {
    __builtin_cpu_init();  // this may run before the runtime's own constructors
    return __builtin_cpu_supports("sse4.2") != 0;
}();
#else
const bool HAS_CRC_INSTRUCTION = false;
#endif

}  // namespace bitstream
