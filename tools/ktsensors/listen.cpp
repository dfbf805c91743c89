// The pages --listen serves, and when a request gets a new reading.
#include "listen.h"

namespace ktsensors {

const char kPageMethods[] = "GET, HEAD";

std::string ListenAddress(const std::string &host, int port)
{
    return (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

const std::string &ReadingSource::Get(const Format &format, Clock::time_point arrival)
{
    bool fresh = number_ > 0 && (arrival <= ended_ || arrival - started_ <= maxAge_);
    if (!fresh) {
        started_ = Clock::now();
        reading_ = TakeReading(library_.Functions(), clock_, ++number_, stop_, nullptr, owner_);
        ended_ = Clock::now();
        rendered_.assign(kFormatCount, false);
    }
    size_t row = (size_t)(&format - kFormats);
    if (!rendered_[row]) {
        pages_[row] = format.render(reading_, RenderOptions{});
        rendered_[row] = true;
    }
    return pages_[row];
}

} // namespace ktsensors
