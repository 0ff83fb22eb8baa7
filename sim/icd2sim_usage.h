// The simulator's texts about itself: the short usage printed with a usage
// error, and the --help text that adds what every option and device setting
// accepts and how a --link session is run by hand.
#pragma once

#include <cstdio>

namespace icd2sim {

void print_usage(std::FILE* out);
void print_help(std::FILE* out);

}  // namespace icd2sim
