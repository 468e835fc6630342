#pragma once

// The pager calls that the mail monitors queue during a run and the run window makes at
// its end, once the line is free.

#include <string>

class PagerQueue {
public:
    virtual ~PagerQueue() = default;
    // 1 when a call was taken and its number made current, else 0.
    virtual int TakeNextPagerCall() = 0;
    // The number of the call taken last.
    virtual std::string CurrentPagerNumber() const = 0;
    // Makes the current call; true on success. A failed call stays queued.
    virtual bool MakePagerCall() = 0;
};

// No pager calls are ever queued.
class EmptyPagerQueue final : public PagerQueue {
public:
    int TakeNextPagerCall() override { return 0; }
    std::string CurrentPagerNumber() const override { return {}; }
    bool MakePagerCall() override { return false; }
};
