#include "app/cli/headless_user_interface.h"

#include <csignal>
#include <cstdio>
#include <ctime>

namespace signposter::cli {

namespace {

volatile std::sig_atomic_t g_stopRequested = 0;

void PrintLines(std::FILE* out, const std::string& text) {
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find_first_of("\r\n", start);
        if (end == std::string::npos)
            end = text.size();
        std::fprintf(out, "%.*s\n", static_cast<int>(end - start), text.data() + start);
        start = end + 1;
        if (end < text.size() && text[end] == '\r' && start < text.size() && text[start] == '\n')
            ++start;
    }
}

}  // namespace

void HeadlessUserInterface::RequestStop() {
    g_stopRequested = 1;
}

bool HeadlessUserInterface::StopRequested() {
    return g_stopRequested != 0;
}

void HeadlessUserInterface::SleepUntil(std::int64_t deadlineTick) {
    // The tick counter is the monotonic clock in milliseconds, so an absolute monotonic sleep matches it.
    timespec until{};
    until.tv_sec = static_cast<time_t>(deadlineTick / 1000);
    until.tv_nsec = static_cast<long>((deadlineTick % 1000) * 1'000'000);
    while (!StopRequested() && ::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
    }
}

void HeadlessUserInterface::ShowMessage(const std::string& caption, const std::string& text,
                                        MessageIcon icon) {
    if (icon == MessageIcon::Error && caption == "Signposter")
        m_errorShown = true;
    PrintLines(stderr, text);
    std::fflush(stderr);
}

void HeadlessUserInterface::DispatchMessagesUntil(std::int64_t deadlineTick) {
    while (!StopRequested() && m_clock.TickCount() <= deadlineTick) {
        const std::int64_t nextTick = m_clock.TickCount() + 1000;
        SleepUntil(std::min(nextTick, deadlineTick + 1));
        // The monitor's ticks go on during waits, as they would in the window system's message loop.
        if (m_tick && m_timerEnabled && !m_inTick && m_clock.TickCount() >= nextTick) {
            m_inTick = true;
            m_tick();
            m_inTick = false;
        }
    }
}

void HeadlessUserInterface::ReportOutcome(const PublicationOutcome& outcome) {
    m_lastOutcome = outcome;
    std::tm local{};
    localtime_r(&outcome.when, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
    std::string line = DescribeOutcome(outcome);
    if (outcome.kind == PublicationOutcome::Kind::Failed) {
        line += " (" + outcome.errorClass + " after " + std::to_string(outcome.attempts) + " attempts";
        line += outcome.willRetry && m_tick ? "; will retry)" : ")";
    }
    for (char& c : line) {
        if (c == '\r' || c == '\n')
            c = ' ';
    }
    std::printf("%s %s\n", stamp, line.c_str());
    std::fflush(stdout);
}

}  // namespace signposter::cli
