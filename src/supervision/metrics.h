// An instance's facts and verdict (see health.h) as metrics in Prometheus' text exposition
// format: UTF-8 without a byte-order mark, LF line ends with a final one, one HELP and TYPE
// per metric, base units in the names, no time stamps, each sample labelled with the
// service's name ("service": "instance" is Prometheus' own label for the scrape target).
// The same text for -metrics and for the file the textfile collectors read.
#pragma once

#include <string>

#include "supervision/health.h"

std::string RenderMetrics(const HealthFacts& facts, const Verdict& verdict);
