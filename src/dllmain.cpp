// The byte-order setter. Every connect sets the flag from the host itself;
// Init is kept for callers that set it explicitly.
#include "kvc.h"
#include "kvc_inner.h"

extern "C" KVC_API int Init(void) {
    g_little_tail = 1;
    return 0;
}
