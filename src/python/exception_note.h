// Tells which argument a conversion failure came from.
#pragma once

namespace tarnwex {

// Adds the note "while processing '<parameter>'" to the exception being
// raised. The exception stays raised whatever happens; a failure to add the
// note is swallowed, since it must not replace the original error.
void note_argument(const char* parameter);

}  // namespace tarnwex
