#include "platform/handles.h"

#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "platform/system_calls.h"
#include "tests/support/system_call_fakes.h"

namespace pelorin::setup {
namespace {

using testing::CallSpy;

// Real kernel objects to own, and the order in which the table closed them.
class HandlesTest : public ::testing::Test {
protected:
    HandlesTest() {
        closes_.OnCall([this](HANDLE handle) { closed.push_back(handle); });
    }
    ~HandlesTest() override {
        for (HANDLE event : events_) {
            if (std::find(closed.begin(), closed.end(), event) == closed.end()) {
                ::CloseHandle(event);
            }
        }
    }

    HANDLE NewEvent() {
        events_.push_back(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
        return events_.back();
    }

    std::vector<HANDLE> closed;

private:
    std::vector<HANDLE> events_;
    CallSpy<BOOL(HANDLE)> closes_{SystemCalls().CloseHandle};
};

TEST_F(HandlesTest, ScopedHandleOwnsMovesAndClosesOnce) {
    const HANDLE first = NewEvent();
    const HANDLE second = NewEvent();
    {
        ScopedHandle empty;
        EXPECT_FALSE(empty.IsValid());
        EXPECT_EQ(empty.Get(), INVALID_HANDLE_VALUE);
        ScopedHandle null(nullptr);
        EXPECT_FALSE(null.IsValid());

        ScopedHandle a(first);
        ScopedHandle b(std::move(a));
        EXPECT_EQ(a.Get(), INVALID_HANDLE_VALUE);
        EXPECT_EQ(b.Get(), first);

        ScopedHandle c(second);
        c = std::move(b);  // closes `second` first, then takes `first`
        EXPECT_EQ(closed, std::vector<HANDLE>{second});
        EXPECT_EQ(c.Get(), first);
        EXPECT_EQ(b.Get(), INVALID_HANDLE_VALUE);

        ScopedHandle& alias = c;
        c = std::move(alias);  // self-assignment does nothing
        EXPECT_EQ(c.Get(), first);
        EXPECT_EQ(closed.size(), 1u);

        c.Close();
        c.Close();
        EXPECT_FALSE(c.IsValid());
    }
    // Neither the empty owners nor the moved-from ones closed anything.
    EXPECT_EQ(closed, (std::vector<HANDLE>{second, first}));
}

TEST_F(HandlesTest, HandleListClosesLastFirst) {
    const HANDLE handles[] = {NewEvent(), NewEvent(), NewEvent()};
    {
        HandleList list;
        for (HANDLE handle : handles) {
            ScopedHandle owned(handle);
            list.Append(std::move(owned));
            EXPECT_EQ(owned.Get(), INVALID_HANDLE_VALUE);
        }
        ASSERT_EQ(list.Size(), 3u);
        EXPECT_EQ(list[1], handles[1]);
        EXPECT_TRUE(closed.empty());
    }
    EXPECT_EQ(closed, (std::vector<HANDLE>{handles[2], handles[1], handles[0]}));

    const HANDLE more[] = {NewEvent(), NewEvent()};
    closed.clear();
    HandleList list;
    list.Append(ScopedHandle(more[0]));
    list.Append(ScopedHandle(more[1]));
    list.Clear();
    EXPECT_EQ(list.Size(), 0u);
    EXPECT_EQ(closed, (std::vector<HANDLE>{more[1], more[0]}));
}

TEST_F(HandlesTest, DirectoryPinsKeyByExactTextAndReleaseDeepestFirst) {
    const HANDLE root = NewEvent();
    const HANDLE deep = NewEvent();
    const HANDLE other = NewEvent();
    const HANDLE duplicate = NewEvent();
    {
        DirectoryPins pins;
        pins.Insert(L"C:\\a", ScopedHandle(root));
        pins.Insert(L"C:\\b", ScopedHandle(other));
        pins.Insert(L"C:\\a\\b", ScopedHandle(deep));
        EXPECT_EQ(pins.Size(), 3u);
        EXPECT_TRUE(pins.Contains(L"C:\\a\\b"));
        EXPECT_FALSE(pins.Contains(L"c:\\a"));  // case-sensitive, no normalisation
        EXPECT_FALSE(pins.Contains(L"C:\\a\\"));
        EXPECT_EQ(pins.Find(L"C:\\a"), root);
        EXPECT_EQ(pins.Find(L"C:\\x"), INVALID_HANDLE_VALUE);
        EXPECT_EQ(pins.Paths(), (std::vector<std::wstring>{L"C:\\a", L"C:\\a\\b", L"C:\\b"}));

        // A path already held keeps its first handle; the new one is closed.
        ScopedHandle second(duplicate);
        pins.Insert(L"C:\\a", std::move(second));
        EXPECT_EQ(second.Get(), INVALID_HANDLE_VALUE);
        EXPECT_EQ(pins.Find(L"C:\\a"), root);
        EXPECT_EQ(closed, std::vector<HANDLE>{duplicate});

        pins.Remove(L"C:\\b");
        pins.Remove(L"C:\\nothing");
        EXPECT_EQ(closed, (std::vector<HANDLE>{duplicate, other}));
    }
    EXPECT_EQ(closed, (std::vector<HANDLE>{duplicate, other, deep, root}));
}

TEST(ComApartment, UninitialisesOnlyAfterSuccess) {
    const struct {
        HRESULT result;
        int uninitialisations;
    } cases[] = {
        {S_OK, 1},
        {S_FALSE, 1},  // already initialised on this thread: still one more to undo
        {RPC_E_CHANGED_MODE, 0},
        {E_OUTOFMEMORY, 0},
    };
    for (const auto& c : cases) {
        CallSpy<HRESULT(LPVOID, DWORD)> initialise(SystemCalls().CoInitializeEx);
        initialise.FailCall(1, c.result);
        CallSpy<void()> uninitialise(SystemCalls().CoUninitialize);
        uninitialise.FailFrom(1);  // counted only: nothing was initialised
        {
            ComApartment apartment(COINIT_APARTMENTTHREADED);
            EXPECT_EQ(apartment.Result(), c.result);
            EXPECT_EQ(apartment.Succeeded(), c.result >= 0);
            EXPECT_EQ(uninitialise.Calls(), 0);
        }
        EXPECT_EQ(initialise.Calls(), 1);
        EXPECT_EQ(uninitialise.Calls(), c.uninitialisations) << c.result;
    }
}

TEST(ComApartment, RealApartmentOnAFreshThread) {
    HRESULT outer = E_FAIL;
    HRESULT inner = E_FAIL;
    HRESULT otherModel = S_OK;
    std::thread worker([&] {
        ComApartment apartment(COINIT_APARTMENTTHREADED);
        outer = apartment.Result();
        {
            ComApartment again(COINIT_APARTMENTTHREADED);
            inner = again.Result();
        }
        ComApartment conflicting(COINIT_MULTITHREADED);
        otherModel = conflicting.Result();
    });
    worker.join();
    EXPECT_EQ(outer, S_OK);
    EXPECT_EQ(inner, S_FALSE);
    EXPECT_EQ(otherModel, RPC_E_CHANGED_MODE);
}

}  // namespace
}  // namespace pelorin::setup
