#include "sim/trace.h"

namespace sim {

void Trace::Add(TraceRecord rec)
{
    rec.sequence = next_++;
    if (records_.size() >= options_.maxRecords) {
        ++dropped_;
        return;
    }
    records_.push_back(std::move(rec));
}

}  // namespace sim
