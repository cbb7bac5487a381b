#pragma once

#include "service/history/historyrows.h"

namespace quorvel::service::history {

class SqlStatement;

// The values of a sample as the samples table stores them (last, raw, min, max, mean, reads, failed,
// failures, in that order from column `first`) into a row: the one conversion the export and the outbox
// share.
void readSampleColumns(const SqlStatement& query, int first, SampleRow& row);

} // namespace quorvel::service::history
