#include "vita49/Vita49Types.h"

const char* Vita49ReturnCodeName(RETURN_CODE code) {
    // A switch without default: the compiler names any enumerator added without its text.
    switch (code) {
    case RC_OK:
        return "RC_OK";
    case RC_SOCKET_ERROR:
        return "RC_SOCKET_ERROR";
    case RC_TIMEOUT:
        return "RC_TIMEOUT";
    case RC_INVALID_ARGUMENT:
        return "RC_INVALID_ARGUMENT";
    case RC_CONNECTION_ERROR:
        return "RC_CONNECTION_ERROR";
    }
    return "RC_UNKNOWN";
}
