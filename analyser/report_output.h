// The analyser's reports: one JSON object (a line) per report, and the table for people, each
// from the analysis, what the input knows (network, NDI) and the A/V offset.
#pragma once

#include "av_sync.h"
#include "pcm_input.h"
#include "report.h"
#include "verdict.h"

#include <string>
#include <vector>

std::string JsonText(const std::string& text);

// faults and notes: the verdict's, on the last line only; av: where pictures arrived.
std::string ReportJson(const AnalysisReport& report, const InputStats& input,
                       const std::vector<std::string>* faults,
                       const std::vector<std::string>* notes = nullptr,
                       const AvReport* av = nullptr, const Expectation* expect = nullptr);

// refresh: clear the terminal first (the live view).
void PrintTable(const AnalysisReport& report, const InputStats& input, bool colour, bool refresh);
void PrintAvTable(const AvReport& av);
