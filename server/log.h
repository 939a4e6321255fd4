// One line per event on standard error, safe from any thread.
#pragma once

#include <string>

namespace kvcd {

void log_line(const std::string& text);
void set_verbose(bool on);
bool verbose();

}  // namespace kvcd
