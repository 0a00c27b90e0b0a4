// Log lines of the directory service. Every line goes through LOG_FileLine
// with its control bytes made spaces, so no id or name from a request can
// start a line of its own.
#pragma once

#include <string>

void MdsLog(const std::string& path, const char* format, ...) __attribute__((format(printf, 2, 3)));

// <root>/log/libquenbylgrp_err.log: errors of the group store and the
// built-in operations.
std::string LgrpLogPath();

// <root>/log/mds.log: the default log of loading errors.
std::string MdsLoadLogPath();
