// Starts another program and waits for it to end while the user interface keeps running.
#pragma once

#include "core/run_state.h"

#include <string>
#include <vector>

namespace brenvale {

/// Starts `program` (a path, or a name looked up in PATH) with `arguments` and returns when it
/// has ended, yielding through `yielder` between polls. False with `failure` set when it could not
/// be started; then nothing is waited for.
bool ShellAndWait(const std::string& program, const std::vector<std::string>& arguments,
                  Yielder& yielder, std::string& failure);

} // namespace brenvale
