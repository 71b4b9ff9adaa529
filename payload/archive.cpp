#include "payload/archive.h"

#include "engine/staging.h"
#include "payload/manifest.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/system_calls.h"

namespace pelorin::setup {
namespace {

void Require(bool condition) {
    if (!condition) {
        ThrowFailure(FailureCode::VerificationFailed);
    }
}

}  // namespace

std::size_t WriteExtractedChunk(void* opaque, std::uint64_t offset, const void* data, std::size_t length) noexcept {
    auto& sink = *static_cast<ExtractSink*>(opaque);
    if (sink.cancel->load()) {
        return 0;
    }
    if (!ChunkContinuesFile(sink.expected, sink.written, offset, length)) {
        return 0;
    }
    try {
        WriteAll(sink.file, data, length);
        sink.hasher.Update(data, length);
        sink.written += length;
        return length;
    } catch (...) {
        sink.writeFailed = true;
        return 0;
    }
}

void ExtractPayload(ZipReader& reader, const EntryMap& entries, StagingFolder& staging,
                    const std::atomic<bool>& cancel, const ProgressFunction& progress) {
    Require(reader.IsOpen() && entries.size() == PayloadEntryCount);
    std::uint64_t done = 0;
    for (std::size_t row = 0; row < PayloadEntryCount; ++row) {
        CheckCancel(cancel);
        const PayloadEntry& entry = PayloadManifest[row];
        ScopedHandle file = CreateStagedFile(staging, Utf8ToWide(entry.name));
        ExtractSink sink{file.Get(), Sha256(), entry.size, 0, &cancel, false};
        if (!InflateEntry(reader, entries[row], WriteExtractedChunk, &sink)) {
            if (cancel.load()) {
                ThrowFailure(FailureCode::Cancelled);
            }
            ThrowFailure(sink.writeFailed ? FailureCode::WriteFailed : FailureCode::VerificationFailed);
        }
        Require(sink.written == sink.expected);
        Require(sink.hasher.FinishHex() == entry.sha256);
        if (!SystemCalls().FlushFileBuffers(file.Get())) {
            ThrowFailure(FailureCode::WriteFailed);
        }
        done += entry.size;
        ReportProgress(progress, Stage::Installing, done, PayloadTotalBytes, true);
    }
}

}  // namespace pelorin::setup
