// Stand-ins for a main window under test that the test itself drives: a timer that never wakes
// (the test calls Tick) and message boxes that say nothing.
#pragma once

#include "Dialogs.h"
#include "HiResTim.h"

class TStillTime final : public ITimeSource {
public:
    bool Start(uint32_t, uint32_t, std::function<void(TTimerClock::time_point)>) override { return true; }
    void Stop() override {}
};

struct TQuiet : IDialogs {
    void ShowMessage(const QString &) override {}
    void ShowError(const QString &) override {}
};
