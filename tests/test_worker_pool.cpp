// The worker pool both front ends review on: a full queue refuses, what is dropped is told so,
// a throwing job or factory ends no thread unjoined, and a failed set-up reaches each front end.
#include "workers/worker_pool.h"

#include "cli/batch.h"
#include "serve/http_server.h"

#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

namespace vrel {
namespace {

// What the jobs did, in order, and a gate the first job waits at.
class Board {
public:
    void Note(const std::string& what) {
        std::lock_guard<std::mutex> lock(mutex_);
        seen_ += what;
        changed_.notify_all();
    }
    // Waits until count letters are noted (a minute at most, so that a fault fails the test).
    void WaitFor(size_t count) {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait_for(lock, std::chrono::minutes(1), [&] { return seen_.size() >= count; });
    }
    void WaitAtGate() {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return open_; });
    }
    void Open() {
        std::lock_guard<std::mutex> lock(mutex_);
        open_ = true;
        changed_.notify_all();
    }
    std::string Seen() {
        std::lock_guard<std::mutex> lock(mutex_);
        return seen_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::string seen_; // "A" for a job that ran, "b" for one dropped
    bool open_ = false;
};

// A worker's tools: the count of those alive tells whether every worker has ended.
struct Tools {
    explicit Tools(std::atomic<int>& alive) : alive(alive) { ++alive; }
    ~Tools() { --alive; }
    std::atomic<int>& alive;
};

using Pool = WorkerPool<Tools>;

// A job that notes its letter when it runs, and the letter in lower case when it is dropped.
Pool::Job Noting(Board& board, char name) {
    const char dropped = static_cast<char>(name - 'A' + 'a');
    return {[&board, name](Tools&) { board.Note(std::string(1, name)); },
            [&board, dropped] { board.Note(std::string(1, dropped)); }};
}

// A job that notes "A" as it starts, then waits at the gate.
Pool::Job Held(Board& board) {
    return {[&board](Tools&) {
                board.Note("A");
                board.WaitAtGate();
            },
            {}};
}

std::unique_ptr<Pool> OneWorker(size_t queue, std::atomic<int>& alive) {
    auto pool = std::make_unique<Pool>(1, queue, [&] { return std::make_unique<Tools>(alive); });
    EXPECT_FALSE(pool->WaitUntilReady());
    return pool;
}

// One worker holds A at the gate while B and C fill the queue; each way of ending the pool runs
// or drops B and C, and ends the worker.
TEST(WorkerPool, EndingRunsOrDropsWhatIsQueued) {
    const struct {
        const char* what;
        std::function<void(std::unique_ptr<Pool>&)> end;
        const char* seen; // what is dropped is noted before the gate opens
    } cases[] = {
        {"Stop runs what is queued", [](auto& pool) { pool->Stop(); }, "ABC"},
        {"Stop past its deadline", [](auto& pool) { pool->Stop(Pool::Clock::now()); }, "Abc"},
        {"Cancel", [](auto& pool) { pool->Cancel(); }, "Abc"},
        {"the destructor", [](auto& pool) { pool.reset(); }, "Abc"},
        {"DropQueued, then Stop",
         [](auto& pool) {
             pool->DropQueued();
             pool->Stop();
         },
         "Abc"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Board board;
        std::atomic<int> alive{0};
        auto pool = OneWorker(2, alive);
        ASSERT_TRUE(pool->TrySubmit(Held(board)));
        board.WaitFor(1);
        ASSERT_TRUE(pool->TrySubmit(Noting(board, 'B')));
        ASSERT_TRUE(pool->TrySubmit(Noting(board, 'C')));
        EXPECT_FALSE(pool->TrySubmit(Noting(board, 'D'))); // the queue is full
        EXPECT_EQ(pool->QueueDepth(), 2u);
        std::thread ending([&] { c.end(pool); });
        const std::string seen = c.seen;
        board.WaitFor(1 + std::count_if(seen.begin(), seen.end(),
                                        [](char ch) { return ch >= 'a' && ch <= 'z'; }));
        board.Open();
        ending.join();
        EXPECT_EQ(board.Seen(), seen);
        EXPECT_EQ(alive, 0);
        if (pool) {
            EXPECT_FALSE(pool->TrySubmit(Noting(board, 'E'))); // a stopped pool takes nothing
        }
    }
}

// Submit waits for room: it gets it when the worker takes the next job, and gives up when the
// pool is cancelled.
TEST(WorkerPool, SubmitWaitsForRoom) {
    for (const bool cancel : {false, true}) {
        SCOPED_TRACE(cancel ? "cancelled" : "room");
        Board board;
        std::atomic<int> alive{0};
        auto pool = OneWorker(1, alive);
        ASSERT_TRUE(pool->TrySubmit(Held(board)));
        board.WaitFor(1);
        ASSERT_TRUE(pool->TrySubmit(Noting(board, 'B')));
        auto submitted =
            std::async(std::launch::async, [&] { return pool->Submit(Noting(board, 'C')); });
        std::thread ending;
        if (cancel) {
            ending = std::thread([&] { pool->Cancel(); });
            board.WaitFor(2);
        }
        board.Open();
        EXPECT_EQ(submitted.get(), !cancel);
        if (ending.joinable()) {
            ending.join();
        }
        pool->Stop();
        EXPECT_EQ(board.Seen(), cancel ? "Ab" : "ABC");
    }
}

// Whatever a job throws, its worker goes on to the next job.
TEST(WorkerPool, AThrowingJobLeavesItsWorkerToTheNext) {
    const std::function<void(Tools&)> throwing[] = {
        [](Tools&) { throw std::runtime_error("failed"); },
        [](Tools&) { throw 7; },
        {}, // no work at all
    };
    Board board;
    std::atomic<int> alive{0};
    auto pool = OneWorker(8, alive);
    for (const auto& run : throwing) {
        ASSERT_TRUE(pool->TrySubmit({run, [&] { board.Note("dropped"); }}));
        ASSERT_TRUE(pool->TrySubmit(Noting(board, 'B')));
    }
    pool->Stop();
    EXPECT_EQ(board.Seen(), "BBB");
    EXPECT_EQ(alive, 0);
}

// A worker that cannot make its tools is reported; the pool drops what it holds, takes nothing
// more, and every worker ends.
TEST(WorkerPool, AFailedFactoryIsReported) {
    const struct {
        const char* what;
        int workers;
        std::function<std::unique_ptr<Tools>(std::atomic<int>&, int call)> make;
        const char* message;
    } cases[] = {
        {"throws", 1,
         [](auto&, int) -> std::unique_ptr<Tools> { throw std::runtime_error("no detector"); },
         "no detector"},
        {"throws no exception", 1, [](auto&, int) -> std::unique_ptr<Tools> { throw 7; },
         "a worker's tools could not be made"},
        {"returns nothing", 1, [](auto&, int) { return std::unique_ptr<Tools>(); },
         "a worker's tools could not be made"},
        {"one worker of three", 3,
         [](std::atomic<int>& alive, int call) -> std::unique_ptr<Tools> {
             if (call == 1) {
                 throw std::runtime_error("the second failed");
             }
             return std::make_unique<Tools>(alive);
         },
         "the second failed"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Board board;
        std::atomic<int> alive{0}, calls{0};
        // Each worker waits at the gate, so that a job is queued before any fails.
        Pool pool(c.workers, 4, [&] {
            board.WaitAtGate();
            return c.make(alive, calls++);
        });
        ASSERT_TRUE(pool.TrySubmit(Noting(board, 'B')));
        board.Open();
        EXPECT_EQ(pool.WaitUntilReady().Detail(), c.message);
        if (c.workers == 1) { // with more, one that is ready may have run B
            EXPECT_EQ(board.Seen(), "b");
        }
        EXPECT_FALSE(pool.TrySubmit(Noting(board, 'C')));
        pool.Stop();
        EXPECT_EQ(alive, 0);
    }
}

// Workers that cannot read the face detector end the batch, and keep the service from listening.
TEST(WorkerPool, TheFrontEndsReportWorkersThatCannotStart) {
    test::TempDir empty;
    BatchOptions batch;
    batch.check = test::ShippedSettings();
    batch.data_dir = empty.Path();
    batch.jobs = 2;
    ListSource photos({test::SamplePath("passed-grey-600x800.jpg")});
    bool any = false;
    const BatchSummary summary =
        RunBatch(photos, batch, [&](const PhotoRecord&, const ReportPictures&) { any = true; });
    EXPECT_EQ(summary.setup_error.Code(), ErrorCode::Unreadable);
    EXPECT_NE(summary.setup_error.Detail().find("face detector"), std::string::npos)
        << summary.setup_error.Detail();
    EXPECT_FALSE(any);
    EXPECT_FALSE(summary.AllPassed());

    serve::ServiceOptions service;
    service.port = 0;
    service.pool.kit.settings = test::ShippedSettings();
    service.pool.kit.data_dir = empty.Path() + "/";
    service.pool.jobs = 2;
    service.pool.kit.review.reuse_detector = true;
    serve::HttpService refused(service);
    const Error error = refused.Listen();
    EXPECT_EQ(error.Code(), ErrorCode::Unreadable);
    EXPECT_NE(error.Detail().find("face detector"), std::string::npos) << error.Detail();
}

} // namespace
} // namespace vrel
