// The native build has no Windows message tables: OS error codes get a generic text.
#include "errors.h"

namespace upkit {

std::string SystemErrorMessage(int32_t code) {
    return "Unknown error " + std::to_string(code);
}

}  // namespace upkit
