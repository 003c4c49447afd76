// Putting one file in place without ever leaving a half-written target.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "installer/result.h"

namespace lbw {

// Makes the file at `target` hold exactly `content`. A target that holds it
// already is left alone, untouched (no write, no staging file). Otherwise the
// content goes to a staging file beside the target (same name, extension
// "neu"), made anew (a leftover of that name is removed, never written
// through), written with no one else allowed to write, rename or delete it,
// flushed, and then renamed onto the target in one call.
// After a failure the target is as it was: a failed write reports "Warden
// konnte nicht entpackt werden: ..." and may leave the staging file; a failed
// rename reports that an older version is still running and removes the
// staging file where the system allows.
Status replace_file(std::wstring_view target, std::span<const std::uint8_t> content);

}  // namespace lbw
