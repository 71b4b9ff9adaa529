#include "platform/system_calls.h"

namespace pelorin::setup {

SystemCallTable& SystemCalls() noexcept {
    static SystemCallTable table;
    return table;
}

}  // namespace pelorin::setup
