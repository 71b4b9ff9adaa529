// DownloadArchive of the release archive from the local release server
// against the bare cost of fetching the same bytes: a plain WinHTTP request
// for the same URL with the same session and request options (synchronous,
// TLS, no redirects), then a loop of 64 KiB WinHttpReadData calls into one
// block that is overwritten each time: no hashing, no progress, no copy into
// a body, no checks beyond the status and the byte count.
//
// Every run downloads with both, and with three references that add one piece
// of the product's work to the bare loop (hashing every piece, keeping the
// body, hashing on a second thread), the order rotating from run to run; the
// ratios are medians of the per-run ratios to the bare loop of the same run.
// One warm-up run of each of the two compared goes first. All get the bytes
// from the same server process, so its own sending speed is part of all.
#include <windows.h>
#include <winhttp.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/contract.h"
#include "engine/download.h"
#include "tools/bench/bench.h"

namespace pelorin::setup::bench {
namespace {

constexpr double TargetRatio = 1.05;
constexpr DWORD ReadSize = 65536;

class Internet {
public:
    explicit Internet(HINTERNET handle) : handle_(handle) {
        if (handle_ == nullptr) {
            Fail("opening a WinHTTP handle");
        }
    }
    ~Internet() { ::WinHttpCloseHandle(handle_); }
    Internet(const Internet&) = delete;
    Internet& operator=(const Internet&) = delete;
    HINTERNET Get() const noexcept { return handle_; }

private:
    HINTERNET handle_;
};

void SetOption(HINTERNET handle, DWORD option, DWORD value) {
    if (!::WinHttpSetOption(handle, option, &value, sizeof value)) {
        Fail("setting a WinHTTP option");
    }
}

// What the bare fetch does with each piece besides reading it. Only Nothing
// is the baseline; the others show where the difference goes.
enum class PieceWork { Nothing, Hash, Keep, HashAside };

// Hashes the pieces on a thread of its own while the reader reads on: a ring
// of piece buffers between the two.
class HashingThread {
public:
    HashingThread() : slots_(SlotCount, std::vector<std::uint8_t>(ReadSize)), lengths_(SlotCount) {
        thread_ = std::thread([this] { Loop(); });
    }
    ~HashingThread() { Finish(); }
    HashingThread(const HashingThread&) = delete;
    HashingThread& operator=(const HashingThread&) = delete;

    // The next free buffer to read into; waits for one.
    std::uint8_t* Acquire() {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return filled_ < SlotCount; });
        return slots_[(first_ + filled_) % SlotCount].data();
    }
    // Hands the buffer from Acquire over with `length` bytes in it.
    void Submit(DWORD length) {
        {
            const std::lock_guard lock(mutex_);
            lengths_[(first_ + filled_) % SlotCount] = length;
            ++filled_;
        }
        changed_.notify_all();
    }
    std::string Finish() {
        {
            const std::lock_guard lock(mutex_);
            done_ = true;
        }
        changed_.notify_all();
        if (thread_.joinable()) {
            thread_.join();
        }
        return hasher_.FinishHex();
    }

private:
    static constexpr std::size_t SlotCount = 8;

    void Loop() {
        std::unique_lock lock(mutex_);
        while (true) {
            changed_.wait(lock, [this] { return filled_ > 0 || done_; });
            if (filled_ == 0) {
                return;
            }
            const std::size_t slot = first_;
            lock.unlock();
            hasher_.Update(slots_[slot].data(), lengths_[slot]);
            lock.lock();
            first_ = (first_ + 1) % SlotCount;
            --filled_;
            changed_.notify_all();
        }
    }

    std::vector<std::vector<std::uint8_t>> slots_;
    std::vector<DWORD> lengths_;
    std::size_t first_ = 0;   // the oldest filled slot
    std::size_t filled_ = 0;  // filled slots, from first_ on
    bool done_ = false;
    std::mutex mutex_;
    std::condition_variable changed_;
    BareSha256 hasher_;
    std::thread thread_;
};

// The bare fetch; returns the number of body bytes read.
std::uint64_t BareFetch(const DownloadTarget& target, std::vector<std::uint8_t>& block, PieceWork work) {
    const Internet session(::WinHttpOpen(DownloadUserAgent, WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY, WINHTTP_NO_PROXY_NAME,
                                         WINHTTP_NO_PROXY_BYPASS, 0));
    ::WinHttpSetTimeouts(session.Get(), DownloadCallTimeoutMs, DownloadCallTimeoutMs, DownloadCallTimeoutMs,
                         DownloadCallTimeoutMs);
    DWORD protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2 | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3;
    if (!::WinHttpSetOption(session.Get(), WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof protocols)) {
        SetOption(session.Get(), WINHTTP_OPTION_SECURE_PROTOCOLS, WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2);
    }
    const Internet connection(::WinHttpConnect(session.Get(), target.host.c_str(), target.port, 0));
    const Internet request(::WinHttpOpenRequest(connection.Get(), L"GET", DownloadObjectPath, nullptr,
                                                WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, WINHTTP_FLAG_SECURE));
    SetOption(request.Get(), WINHTTP_OPTION_REDIRECT_POLICY, WINHTTP_OPTION_REDIRECT_POLICY_NEVER);
    SetOption(request.Get(), WINHTTP_OPTION_DISABLE_FEATURE, WINHTTP_DISABLE_COOKIES | WINHTTP_DISABLE_AUTHENTICATION);
    if (!::WinHttpSendRequest(request.Get(), DownloadExtraHeaders, static_cast<DWORD>(-1), WINHTTP_NO_REQUEST_DATA, 0,
                              0, 0) ||
        !::WinHttpReceiveResponse(request.Get(), nullptr)) {
        Fail("the bare request");
    }
    DWORD status = 0;
    DWORD statusSize = sizeof status;
    if (!::WinHttpQueryHeaders(request.Get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                               WINHTTP_HEADER_NAME_BY_INDEX, &status, &statusSize, WINHTTP_NO_HEADER_INDEX) ||
        status != 200) {
        Fail("the bare request's status");
    }
    std::uint64_t received = 0;
    BareSha256 hasher;
    std::vector<std::uint8_t> body;
    std::unique_ptr<HashingThread> aside;
    if (work == PieceWork::Keep) {
        body.reserve(target.size);
    } else if (work == PieceWork::HashAside) {
        aside = std::make_unique<HashingThread>();
    }
    DWORD got = 0;
    while (true) {
        std::uint8_t* piece = aside ? aside->Acquire() : block.data();
        if (!::WinHttpReadData(request.Get(), piece, ReadSize, &got)) {
            Fail("the bare read");
        }
        if (got == 0) {
            break;
        }
        if (work == PieceWork::Hash) {
            hasher.Update(piece, got);
        } else if (work == PieceWork::Keep) {
            body.insert(body.end(), piece, piece + got);
        } else if (work == PieceWork::HashAside) {
            aside->Submit(got);
        }
        received += got;
    }
    if ((work == PieceWork::Hash && hasher.FinishHex() != target.sha256) ||
        (work == PieceWork::HashAside && aside->Finish() != target.sha256)) {
        Fail("comparing the bare fetch's digest");
    }
    return received;
}

}  // namespace

std::uint64_t BareDownload(const DownloadTarget& target, std::vector<std::uint8_t>& block) {
    if (block.size() < ReadSize) {
        block.resize(ReadSize);
    }
    return BareFetch(target, block, PieceWork::Nothing);
}

void RunDownloadBench(Context& context) {
    Report& report = context.report;
    const DownloadTarget& target = context.release.Target();
    report.Section("download", "DownloadArchive of the release archive from the local release server against\n"
                               "  a bare WinHTTP request of the same URL read in 64 KiB pieces, with no hashing,\n"
                               "  no progress and no body kept (runs in turns, median of the per-run ratios)");

    const std::atomic<bool> cancel{false};
    std::uint64_t reports = 0;
    const ProgressFunction progress = [&reports](const Progress&) { ++reports; };
    std::vector<std::uint8_t> block(ReadSize);

    const auto measured = [&] {
        std::vector<std::uint8_t> body;
        const double seconds = TimeSeconds([&] { body = DownloadArchive(target, cancel, progress); });
        if (body.size() != target.size) {
            Fail("the download's size check");
        }
        return seconds;
    };
    const auto fetch = [&](PieceWork work) {
        std::uint64_t received = 0;
        const double seconds = TimeSeconds([&] { received = BareFetch(target, block, work); });
        if (received != target.size) {
            Fail("the bare fetch's byte count");
        }
        return seconds;
    };
    const auto bare = [&] { return fetch(PieceWork::Nothing); };

    measured();  // warm-up, and proof that the server serves the expected archive
    bare();
    // Besides the two compared, three references in the same runs: the bare
    // loop with one piece of the product's work added.
    const std::vector<std::vector<double>> turns =
        TimeInTurns(context.repetitions, {measured, bare, [&] { return fetch(PieceWork::Hash); },
                                          [&] { return fetch(PieceWork::Keep); },
                                          [&] { return fetch(PieceWork::HashAside); }});
    const auto ratiosToBare = [&turns](std::size_t variant) {
        std::vector<double> ratios;
        for (std::size_t run = 0; run < turns[1].size(); ++run) {
            ratios.push_back(turns[variant][run] / turns[1][run]);
        }
        return ratios;
    };
    const PairedTimes times{turns[0], turns[1], ratiosToBare(0)};
    ReportPaired(report, times, "DownloadArchive", "bare WinHTTP read loop", TargetRatio);
    report.Note("for reference, the bare loop with one piece of the product's work added");
    report.Note("(median time, and median of the per-run ratios to the bare loop):");
    const auto reference = [&](const char* label, std::size_t variant) {
        char line[128];
        std::snprintf(line, sizeof line, "  %-42s %9.3f s  %7.3f", label, Median(turns[variant]),
                      Median(ratiosToBare(variant)));
        report.Note(line);
    };
    reference("+ CNG hashing of every piece", 2);
    reference("+ keeping the body (reserved, appended)", 3);
    reference("+ CNG hashing on a second thread", 4);
    const double size = static_cast<double>(target.size);
    report.Rate("DownloadArchive throughput", size / MiB / Median(times.measured));
    report.Rate("bare WinHTTP throughput", size / MiB / Median(times.bare));
}

}  // namespace pelorin::setup::bench
