// Starting a program detached (it is no child of this process and outlives it) with its
// arguments and environment as exact bytes, so a path whose name is not UTF-8 reaches it
// unchanged; QProcess would pass such a path on as text. Any thread.
#pragma once

#include <string>
#include <vector>

// Runs `argv[0]` (an absolute path) with `argv` and exactly the `environment` entries
// ("NAME=value"), in a new session, as a grandchild that init reaps. 0 when the program
// was started, else the errno of the failed fork or exec.
[[nodiscard]] int startDetached(const std::vector<std::string>& argv, const std::vector<std::string>& environment);
