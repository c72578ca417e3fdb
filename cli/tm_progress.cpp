#include "tm_progress.h"

#include <algorithm>

namespace {

constexpr int kBarWidth = 40; // characters between the brackets

void report(void* context, int32_t done, int32_t total) { static_cast<TMProgressBar*>(context)->update(done, total); }

} // namespace

void TMProgressBar::update(int32_t done, int32_t total)
{
    if (!enabled_ || total <= 0)
        return;
    const int32_t percent = static_cast<int32_t>(std::clamp<int64_t>(int64_t{done} * 100 / total, 0, 100));
    if (percent == shown_)
        return;
    shown_ = percent;
    const int filled = percent * kBarWidth / 100;
    char bar[kBarWidth + 1];
    for (int i = 0; i < kBarWidth; ++i)
        bar[i] = i < filled ? '#' : '.';
    bar[kBarWidth] = '\0';
    std::fprintf(stream_, "\rtonemap [%s] %3d%%", bar, percent);
    std::fflush(stream_);
    drawn_ = true;
}

void TMProgressBar::finish()
{
    if (drawn_) {
        std::fputc('\n', stream_);
        std::fflush(stream_);
    }
    drawn_ = false;
    shown_ = -1;
}

TMProgressSink TMProgressBar::sink() { return TMProgressSink{this, report, nullptr}; }
