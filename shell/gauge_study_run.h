// Taking the values of a type-1 gauge study: the first n samples of a
// recording, or n measurements of the connected sensor in run mode at a
// chosen pace. Shared by the study window and kvex gauge-study.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "report.h"

// The first n samples of the recording at path, in mm, into values. False,
// with why set, when the file cannot be read or is no recording; a file with
// fewer samples gives what it has. badLines counts the lines passed over.
bool GaugeValuesFromFile(const char *path, std::size_t n, std::vector<double> &values,
                         unsigned long &badLines, const char **why);

// Runs run mode on the connected sensor until n measurements are taken, one
// at most every intervalS seconds (0: every reply), then stops it. progress,
// when given, hears each one taken. Returns how many were taken: fewer than
// n when the run ended for another reason (the status line says why).
// inWindow: run mode as the window's Run starts it, its graphs shown;
// otherwise the exchange alone.
using GaugeProgress = void (*)(std::size_t taken, std::size_t wanted);
std::size_t GaugeValuesLive(std::size_t n, double intervalS, std::vector<double> &values,
                            GaugeProgress progress, bool inWindow);

// The study in the report's form, as the window and kvex gauge-study both
// write it (with WriteGaugeStudyReport): the title block, what was measured
// (the first values of the recording at file, or live on device when file is
// nullptr), the sensor as the caller names it, the study and its values.
GaugeStudyReport GaugeReport(const ReportTitle &title, const std::vector<double> &values,
                             const GaugeStudy &study, const char *file, const char *device,
                             std::string sensor);
