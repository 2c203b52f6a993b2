// The resampler and the timeline for builds that have neither libsoxr nor
// the server's markup code (the Windows cross build). The options that need
// them are refused when parsed, so these only satisfy the linker and refuse
// or ignore whatever reaches them.
#include "tools/resampler.h"
#include "tools/timeline.h"

namespace vrelay {
namespace tools {

Resampler::~Resampler() = default;

bool Resampler::Start(uint32_t, uint32_t, std::string* error) {
    *error = "resampling is not available in this build";
    return false;
}

void Resampler::Process(const int16_t*, size_t, std::vector<int16_t>*) {}
void Resampler::Flush(std::vector<int16_t>*) {}
void Resampler::Stop() {}

void Timeline::SetSampleRate(uint32_t) {}
void Timeline::AddAudio(const int16_t*, size_t) {}
void Timeline::AddWord(double, const std::string&) {}
void Timeline::AddPhoneme(double, const std::string&) {}
std::string Timeline::Svg() const {
    return std::string();
}
int Timeline::Width() const {
    return 0;
}

}  // namespace tools
}  // namespace vrelay
