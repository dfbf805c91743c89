// The pages --listen serves, and when a request gets a new reading.
#include "listen.h"

#include "readings.h"

namespace ktsensors {

const char kMetricsPath[] = "/metrics";
const char kJsonPath[] = "/json";
const char kMetricsContentType[] = "text/plain; version=0.0.4; charset=utf-8";
const char kJsonContentType[] = "application/json";

const std::string &ReadingSource::Get(Page page, Clock::time_point arrival)
{
    bool fresh = number_ > 0 && (arrival <= ended_ || arrival - started_ <= maxAge_);
    if (!fresh) {
        started_ = Clock::now();
        Reading reading = TakeReading(library_.Functions(), clock_, ++number_);
        ended_ = Clock::now();
        metrics_ = FormatPrometheus(reading);
        json_ = FormatJson(reading);
    }
    return page == Page::Metrics ? metrics_ : json_;
}

} // namespace ktsensors
