// Command messages, reply dispatch, prepare and release of statements.
#include "kvc_command.h"

#include "kvc_inner.h"
#include "kvc_params.h"
#include "kvc_rowset.h"
#include "kvc_utility.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

// =============================================================================
// Command messages and the plain reply dispatcher
// =============================================================================


// =============================================================================
// Procedure and single-value replies
// =============================================================================


// =============================================================================
// Prepare, release, server resources
// =============================================================================

