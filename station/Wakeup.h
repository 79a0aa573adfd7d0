#pragma once

// What the station's loop sleeps on: a wake from any thread (an eventfd) and
// the stop signals (a signalfd), with a time limit.

#include <chrono>
#include <csignal>

class Wakeup {
public:
    // stops must already be blocked in every thread, so that only the
    // signalfd takes them.
    explicit Wakeup(const sigset_t& stops);
    ~Wakeup();
    Wakeup(const Wakeup&) = delete;
    Wakeup& operator=(const Wakeup&) = delete;

    // From any thread; never blocks. Wakes coming together are one.
    void Wake() const;
    // Until a wake, a stop signal or the time: the signal's number, or 0.
    int Wait(std::chrono::steady_clock::time_point until) const;

private:
    void Close();

    int wake_ = -1;
    int signals_ = -1;
};
