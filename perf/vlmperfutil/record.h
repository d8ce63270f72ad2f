// The test record: everything one measurement knows, as one JSON line after
// the text, behind the record mark, for the program to take apart from the
// text it shows.
#pragma once

#include <string>
#include <vector>

#include "perf/vlmperfutil/args.h"
#include "perf/vlmperfutil/device.h"
#include "perf/vlmperfutil/phases.h"

namespace vpu {

// Starts every record line; the utility's text never holds this byte.
constexpr char kRecordMark = '\x1e';

// The record as JSON text (no mark, no line feed). started is the wall-clock
// time (seconds since 1970) when the measurement began.
std::string recordJson(const Args& a, const Device& dev, const Plan& plan, const std::string& engine,
                       const std::vector<PhaseReport>& phases, int exitCode, double started);

// Writes the mark, the record and a line feed to standard output. Called only
// with privileges dropped, after the result lines.
void writeRecord(const std::string& json);

}  // namespace vpu
