// The benchmark's transcript parser: the bytes that went over the wire,
// rebuilt from the events of icd2sim's transcript, per line speed and per
// command code, with every event a clean exchange never shows.
#pragma once

#include <string>
#include <vector>

#include "wire_model.h"

namespace bench {

struct Count {
    Wire wire;
    TrafficByCode by_code;
    std::vector<std::string> anomalies;  // anything a clean exchange never shows
};

// Rebuilds the bytes of every event of a fault-free transcript. Events that
// a clean run never produces are kept as anomalies: their bytes may not be
// fully known, and any of them is traffic the image did not need.
Count count_transcript(const std::string& path);

}  // namespace bench
