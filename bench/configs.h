// The two configurations the benchmark runs with, derived from the example
// configuration: one without any "transfer/coalesce" setting (every record
// its own transfer) and one with the setting on for the example part's family.
#pragma once

#include <string>

namespace bench {

// The family of the simulated part, for which coalescing is switched on.
constexpr const char* kCoalescingFamily = "mid14";

// Writes FROM without any coalesce setting to PLAIN, and the same with the
// setting on for the simulated part's family to COALESCED.
void write_configs(const std::string& from, const std::string& plain, const std::string& coalesced);

}  // namespace bench
