// Test doubles shared by the server-queue tests: stand-in contexts, networks and
// workers (only their identity and key matter), a list payload that counts its
// releases, and a waiter that counts interrupts.
#pragma once

#include <atomic>
#include <memory>

#include "server/gax_qor_svc_queues.h"
#include "sockets/gax_snps_waiter.h"

namespace svc_test {

struct FakeCtx {
    gax::TQORGlobalKey key = 0;
    gax::TQORGlobalKey CtxGlobalKey() const { return key; }
};
struct FakeNet {
    int id = 0;
};
struct FakeWorker {
    int id = 0;
};

// Counts its destructions in a counter the test owns.
class CountedList : public gax::TQORSVCListPayload {
  public:
    explicit CountedList(int& aFrees) : f_Frees(aFrees) {}
    ~CountedList() override { ++f_Frees; }

  private:
    int& f_Frees;
};
class OtherList : public gax::TQORSVCListPayload {};

// A three-network list array with counted lists in slots 0 and 2 and none in slot 1.
inline gax::TQORSVCListArray TwoCountedLists(int& aFrees) {
    gax::TQORSVCListArray a(3);
    a[0].List = std::make_unique<CountedList>(aFrees);
    a[2].List = std::make_unique<CountedList>(aFrees);
    return a;
}

// A waiter of capacity 0 that only counts SetInterrupt; it never waits.
class CountingWaiter final : public gax::TWaiter2Base {
  public:
    CountingWaiter() : TWaiter2Base(0, 0) {}
    void SetWaitMode(gax::PWaiter2Resource, uint8_t) override {}
    gax::TWaiterResult WaitForHandler(gax::TWaiter2WaitParams&) override { return gax::wr_Timeout; }
    void SetInterrupt() override { interrupts.fetch_add(1); }
    void Reset() override {}
    std::atomic<int> interrupts{0};

  protected:
    int ResourceRecordSize() const override { return sizeof(gax::TWaiter2Resource); }
};

}  // namespace svc_test
