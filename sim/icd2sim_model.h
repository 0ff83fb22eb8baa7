// The simulated ICD2 and its target: the device settings, the target's
// memory spaces and the transcript, one header each. Used by the simulator and
// by its in-process form (icd2sim_tty.h), through which the driver's tests
// read them.
#pragma once

#include "icd2sim_memory.h"
#include "icd2sim_settings.h"
#include "icd2sim_transcript.h"
