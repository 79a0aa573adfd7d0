#pragma once

#include "SetpointReport.h"

#include <QString>

#include <vector>

// Writes the report as an A4 PDF, whole or not at all. False, with the
// reason in *error, when the file cannot be written.
bool WriteReportPdf(const std::vector<ReportBlock>& report, const QString& fileName, QString* error);
