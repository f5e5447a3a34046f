#pragma once
// Whether the client's standard error is an interactive terminal, where a
// progress line that rewrites itself makes sense.

namespace platform {

bool StandardErrorIsTerminal();

}  // namespace platform
